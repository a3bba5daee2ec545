#include "text/io_error.hpp"

#include <string>

#include <gtest/gtest.h>

namespace novrel::text {
namespace {

struct RenderCase {
  IoError error;
  const char* rendering;
};

TEST(IoErrorRendering, OnOneLine) {
  const RenderCase table[] = {
      {IoError::os(2), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
      {IoError::os(5), "Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }"},
      {IoError::os(21), "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }"},
      // Codes the C library does not know still render its fallback text.
      {IoError::os(4000), "Os { code: 4000, kind: Uncategorized, message: \"Unknown error 4000\" }"},
      {IoError::os(-3), "Os { code: -3, kind: Uncategorized, message: \"Unknown error -3\" }"},
      {IoError::nul_in_path(),
       "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }"},
      {IoError::invalid_utf8(),
       "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }"},
      {IoError::fixed(ErrorKind::Other, "say \"hi\"\\\n\x01"),
       "Error { kind: Other, message: \"say \\\"hi\\\"\\\\\\n\\u{1}\" }"},
  };
  for (const RenderCase& c : table) {
    EXPECT_EQ(std::string_view(render_io_error(c.error)), c.rendering);
  }
}

TEST(IoErrorRendering, ShortFormForAFailedWrite) {
  EXPECT_EQ(std::string_view(render_os_error_short(32)), "Broken pipe (os error 32)");
  EXPECT_EQ(std::string_view(render_os_error_short(4000)), "Unknown error 4000 (os error 4000)");
}

}  // namespace
}  // namespace novrel::text
