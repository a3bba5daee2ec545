# The two commands a new machine needs:
#   make demo   read a sample plot file through `import novrel` and show it
#               (DEMO_ARCH=i386 for the 32-bit environment, DEMO_ARGS="FILE 15")
#   make test   the host's sanitizers and fuzzers while the CPython 3.14
#               environments (i386, amd64) are provisioned with their
#               regular, debug and free-threaded interpreters; then build in
#               both and run every test there under each interpreter, and
#               the parallel tests under ThreadSanitizer (amd64)
# and, as reports: make bench, make coverage (line and branch coverage of
# src/ by both suites, in amd64), and make fuzz (on the host: replay the
# fuzz corpora, then fuzz every target side by side for FUZZ_SECONDS).
# All run as root: the environments are Debian-unstable root file systems
# entered with chroot (see tools/py314).
#
# For contributors:
#   make pytest the quick Python loop: amd64, regular interpreter, the two
#               modules only, then pytest (PYTEST_ARGS="-k name" narrows it)
#   make check  configure, build and run the C++ tests with the host's own
#               compiler and GoogleTest (no Python 3.14 needed, nor root)

ARCHES ?= i386 amd64
PY314 := tools/py314

.PHONY: test check demo bench coverage fuzz provision pytest clean

# Budgets, in seconds, for the stages run from here; tools/run-tests and
# tools/run-tsan budget their own. Building an interpreter from source takes
# 5-10 minutes on two cores, the ThreadSanitizer one about twice that.
PROVISION_BUDGET ?= 2400
HOST_BUDGET ?= 1800

provision:
	@PROVISION_BUDGET=$(PROVISION_BUDGET) tools/provision $(ARCHES)

# The environments are made in the background while the host's checks, which
# need none of them, run: on a new machine that fills the time debootstrap
# spends waiting on the network and on dpkg.
test:
	@set -e; start=$$(date +%s); \
	PROVISION_BUDGET=$(PROVISION_BUDGET) tools/provision --tsan $(ARCHES) & provision=$$!; \
	echo "==== host: sanitizers and fuzzing ===="; \
	host=0; timeout $(HOST_BUDGET) tools/run-host-checks || host=$$?; \
	wait $$provision || { echo "provisioning the environments failed" >&2; exit 1; }; \
	[ $$host -eq 0 ] || exit $$host; \
	for a in $(ARCHES); do \
	  echo "==== $$a ===="; \
	  $(PY314) $$a tools/run-tests; \
	done; \
	echo "==== amd64: parallel tests under ThreadSanitizer ===="; \
	$(PY314) amd64 tools/run-tsan; \
	echo "==== make test: passed in $$(( $$(date +%s) - start )) s ===="

PYTEST_ARGS ?=
pytest:
	@$(PY314) amd64 --provision
	@$(PY314) amd64 sh -c '. tools/runner.sh && configure release build/amd64 && \
	  cmake --build build/amd64 --target novrel torvask_core && \
	  run_pytest python3 build/amd64 tests/python $(PYTEST_ARGS)'

CHECK_BUILD ?= build/host-check
check:
	@cmake --preset host-check -B $(CHECK_BUILD) \
	  $$(command -v ninja >/dev/null && echo -G Ninja) >/dev/null
	@cmake --build $(CHECK_BUILD) -j$$(nproc)
	@ctest --test-dir $(CHECK_BUILD) --output-on-failure -j$$(nproc) --timeout 600

DEMO_ARCH ?= amd64
demo:
	@$(PY314) $(DEMO_ARCH) tools/run-demo $(DEMO_ARGS)

# amd64 runs both standard shapes against every peer; i386 the first shape.
bench:
	@tools/run-bench --arch both $(BENCH_ARGS)

coverage:
	@$(PY314) amd64 --provision
	@$(PY314) amd64 tools/run-coverage

FUZZ_SECONDS ?= 300
fuzz:
	@tools/run-host-checks --fuzz-only --fuzz-seconds $(FUZZ_SECONDS)

clean:
	rm -rf build dist
