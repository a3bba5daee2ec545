"""A plain reader of plot files, to check torvask.read against.

It is written for clarity, not speed, and shares nothing with the C++
reader: lines are split with bytes.split, fields are matched against the
number grammar with a regular expression over ASCII, values are exact
fractions rounded to float64 or float32 by integer arithmetic here, and
whitespace is the 25 code points of Unicode's White_Space property. No
float() or bare str.strip() touches a field: both accept other forms
("1_0") and other blanks.

model_read() gives an Outcome: the rows it reads, or the fault it meets,
with how sure it is of what torvask must do.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from fractions import Fraction

SPACES = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                             0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
BLANKS = b" \t"  # what may follow a data line's last field
PER_LINE = 10
MAX_COUNT = 2**32 - 1

COUNT = re.compile(rb"\+?[0-9]+")


class Fault(Exception):
    """What makes the read fail: the problem's name, the line (from 1) and
    the block. `sure` is False where torvask may name another problem."""

    def __init__(self, problem: str, line: int | None = None, block: int | None = None,
                 sure: bool = True):
        super().__init__(problem, line, block)
        self.problem, self.line, self.block, self.sure = problem, line, block, sure


@dataclass
class Outcome:
    rows: list = field(default_factory=list)  # of tuples of floats (float32 ones exactly)
    names: list = field(default_factory=list)
    blocks: list = field(default_factory=list)  # the file's number of each row
    width: int | None = None  # as given, or as the first data line gives it
    fault: Fault | None = None  # the read must fail
    # A fault the read need not notice, but may: it then fails with it
    # instead of giving the rows.
    may_fail: Fault | None = None


# -- numbers ----------------------------------------------------------------

FLOAT64 = (53, -1022, 1023)  # significand bits, least and greatest normal exponent
FLOAT32 = (24, -126, 127)


def _at_least(n: int, d: int, e: int) -> bool:
    """n / d >= 2^e."""
    return n >= d << e if e >= 0 else n << -e >= d


def rounded(q: Fraction, fmt) -> float:
    """The float of `fmt` nearest q > 0, ties to even, inf past the largest;
    as a Python float, which holds any float32 exactly."""
    bits, emin, emax = fmt
    n, d = q.numerator, q.denominator
    e = n.bit_length() - d.bit_length()  # 2^(e-1) <= q < 2^(e+1)
    if not _at_least(n, d, e):
        e -= 1
    k = max(e, emin) - (bits - 1)  # the exponent of the significand's last bit
    num, den = (n, d << k) if k >= 0 else (n << -k, d)
    m, rest = divmod(num, den)
    if 2 * rest > den or (2 * rest == den and m & 1):
        m += 1
    if m >> bits:  # rounded up into the next binade
        m >>= 1
        k += 1
    if k + bits - 1 > emax:
        return math.inf
    return math.ldexp(m, k)  # m < 2^bits: exact


NUMBER = re.compile(rb"([+-]?)(?:([0-9]*)(?:\.([0-9]*))?(?:[eE]([+-]?[0-9]+))?|(inf|infinity|nan))",
                    re.IGNORECASE)


def decoded_number(text: bytes, float32: bool):
    """The value of a field's text, its whitespace trimmed, or None where it
    is not a number."""
    found = NUMBER.fullmatch(text)
    if not found:
        return None
    sign, whole, fraction, exponent, special = found.groups()
    fraction = fraction or b""
    if special is not None:
        value = math.nan if special.lower() == b"nan" else math.inf
    elif not whole and not fraction:
        return None  # a sign, a point or an exponent alone
    else:
        digits = int(whole + fraction)
        power = int(exponent or b"0") - len(fraction)
        if digits == 0 or power + len(whole + fraction) < -400:
            value = 0.0  # below half the least subnormal
        elif power > 400:
            value = math.inf
        else:
            q = digits * Fraction(10) ** power
            value = rounded(q, FLOAT32 if float32 else FLOAT64)
    return -value if sign == b"-" else value


def trimmed(text: str) -> str:
    return text.strip(SPACES)


def tokens(text: str) -> list[str]:
    return [token for token in re.split("[%s]" % re.escape(SPACES), text) if token]


def is_utf8(raw: bytes) -> bool:
    try:
        raw.decode("utf-8")  # Python's strict codec: no overlongs, surrogates or > U+10FFFF
    except UnicodeDecodeError:
        return False
    return True


def is_continuation(byte: int) -> bool:
    return byte & 0xC0 == 0x80


# -- lines and blocks -------------------------------------------------------

@dataclass
class Line:
    raw: bytes  # as in the file, its end included
    text: bytes  # without LF or CR LF
    ended: bool
    number: int  # from 1


def split_lines(data: bytes, first_number: int) -> list[Line]:
    pieces = data.split(b"\n")
    lines = []
    for i, piece in enumerate(pieces):
        ended = i + 1 < len(pieces)
        if not ended and not piece:
            break
        text = piece[:-1] if ended and piece.endswith(b"\r") else piece
        lines.append(Line(piece + b"\n" * ended, text, ended, first_number + i))
    return lines


def resolve(start, stop, step, count):
    def bound(given, absent):
        if given is None:
            return absent
        return max(0, given + count) if given < 0 else min(given, count)

    first, end = bound(start, 0), bound(stop, count)
    return range(first, end, step)


class Model:
    def __init__(self, data: bytes, width, float32, parameters, blocks, complete_blocks, seekable):
        self.data, self.width, self.float32 = data, width, float32
        self.parameters, self.complete = parameters, complete_blocks
        self.start, self.stop, self.step = (None, None, 1) if blocks is None else (
            blocks.start, blocks.stop, blocks.step or 1)
        self.seekable = seekable
        self.may_fail: Fault | None = None

    def fail(self, problem, line=None, block=None, sure=True):
        # After a fault the read may notice, the read may fail there instead.
        raise Fault(problem, line, block, sure and self.may_fail is None)

    # The header and names.
    def head(self):
        data = self.data
        if not data:
            self.fail("no_header", 1)
        end = data.find(b"\n")
        header = split_lines(data[:end + 1] if end >= 0 else data, 1)[0]
        if not is_utf8(header.raw):
            self.fail("not_utf8", 1)
        if not header.ended:
            self.fail("header_cut", 1)
        found = tokens(header.text.decode())
        count = int(found[-1]) if found and COUNT.fullmatch(found[-1].encode()) else 0
        if not 1 <= count <= MAX_COUNT:
            self.fail("bad_count", 1)
        self.count = count
        rest = data[end + 1:]
        names = []
        at = 0
        for i in range(count):
            if at >= len(rest):
                self.fail("names_missing", i + 2)
            lf = rest.find(b"\n", at)
            piece = rest[at:] if lf < 0 else rest[at:lf + 1]
            if not is_utf8(piece):
                self.fail("not_utf8", i + 2)
            names.append(trimmed(piece.decode()))
            at += len(piece)
        self.names = names
        self.lines = split_lines(rest[at:], count + 2)
        self.data_lines = -(-count // PER_LINE)
        self.per_block = 1 + self.data_lines

    def plan(self):
        """The chosen parameters in column order, and per data line its
        chosen slots in line order (every slot for a full read)."""
        if self.parameters is None:
            self.columns = list(range(self.count))
        else:
            self.columns = [0]
            for given in self.parameters:
                index = given + self.count if given < 0 else given
                if not 0 <= index < self.count:
                    self.fail("no_parameter")
                if index != 0:
                    if index in self.columns:
                        self.fail("parameter_twice")
                    self.columns.append(index)
        self.slots = {}
        for j in sorted(self.columns):
            self.slots.setdefault(j // PER_LINE, []).append(j % PER_LINE)

    def fields_on(self, d):
        return min(PER_LINE, self.count - d * PER_LINE)

    # The width, from the first block's first data line; False where, with
    # complete_blocks, that line is still being written and says nothing.
    def find_width(self) -> bool:
        self.found_width = self.width
        lines = self.lines
        if len(lines) < 2:
            return True
        leading, first = lines[:2]
        unended = self.complete and not first.ended
        if not is_utf8(first.raw):
            if unended:
                return False
            # A full read meets the leading line first.
            self.fail("not_utf8", first.number if is_utf8(leading.raw) else leading.number, 0)
        fields = self.fields_on(0)
        text = first.text
        # Blanks after the last field are padding, not part of a field.
        lengths = [len(text.rstrip(BLANKS)), len(text)]
        suggested = next((n // fields for n in lengths if n and n % fields == 0), 0)
        sure = is_utf8(leading.raw)  # else a full read fails there first
        if self.width is None and unended:
            return False  # its length so far says nothing, even where it divides
        if self.width is None and not suggested:
            self.fail("width_unknown", first.number, 0, sure)
        if self.width is None:
            self.found_width = suggested
        elif not unended and suggested and suggested != self.width:
            end = fields * self.width
            if not (end <= len(text) and len(text.rstrip(BLANKS)) <= end):
                self.fail("width_mismatch", first.number, 0, sure)
        return True

    def text_after(self, line: Line | bytes, fields: int) -> bool:
        """Whether a data line holds more than spaces and tabs after its
        fields (a CR not followed by LF is not a line end)."""
        text = line if isinstance(line, bytes) else line.text
        return bool(text[fields * self.found_width:].strip(BLANKS))

    # One block.
    def field_value(self, line: Line, k: int, block: int, sure: bool):
        w = self.found_width
        text = line.text
        start, end = k * w, (k + 1) * w
        if end > len(text) or (start < len(text) and is_continuation(text[start])) or (
                end < len(text) and is_continuation(text[end])):
            self.fail("field_outside" if line.ended else "line_cut", line.number, block, sure)
        value = decoded_number(trimmed(text[start:end].decode()).encode(), self.float32)
        if value is None:
            self.fail("not_a_number", line.number, block, sure)
        return value

    def take(self, line: Line, d: int, slots, block: int, row: dict):
        """The fields `slots` of data line d into `row`, by parameter."""
        if not is_utf8(line.raw):
            self.fail("not_utf8", line.number, block)
        after = self.text_after(line, self.fields_on(d))
        for k in slots:
            row[d * PER_LINE + k] = self.field_value(line, k, block, not after)
        if after:
            self.fail("text_after_fields", line.number, block)

    def pass_over(self, line: Line, d: int, block: int):
        """A data line of a chosen block that holds no chosen field: what
        follows its fields is looked at; whether it is UTF-8 need not be."""
        if not is_utf8(line.raw) and self.may_fail is None:
            self.may_fail = Fault("not_utf8", line.number, block)
        if self.text_after(line, self.fields_on(d)):
            # Cut short inside a block, the line may meet block_cut first.
            self.fail("text_after_fields", line.number, block, sure=line.ended)

    def block(self, b: int):
        """Block b's row, or None where the file ends before it is whole
        (only with complete_blocks: the last line may still be being written)."""
        lines = self.lines
        base = b * self.per_block
        leading = lines[base]
        if not is_utf8(leading.raw):
            if self.complete and not leading.ended:
                return None
            self.fail("not_utf8", leading.number, b)
        row = {}
        for d in range(self.data_lines):
            at = base + 1 + d
            if at >= len(lines):
                if self.complete:
                    return None
                self.fail("block_cut", lines[-1].number + 1, b)
            line = lines[at]
            slots = self.slots.get(d)
            if slots is None and self.complete and not line.ended and d + 1 == self.data_lines:
                # The block's last line, cut short as the file's last: a full
                # read would drop the block where a field fails, so a chosen
                # one does too.
                slots = range(self.fields_on(d))
            if slots is None:
                if self.complete and not line.ended:
                    return None  # cut short inside the block, whatever it holds
                self.pass_over(line, d, b)
                continue
            try:
                self.take(line, d, slots, b, row)
            except Fault:
                if self.complete and not line.ended:
                    return None
                raise
        return tuple(row[j] for j in self.columns)

    def last_block_whole(self, b: int) -> bool:
        may_fail = self.may_fail
        try:
            return self.block(b) is not None
        except Fault:
            return True  # reading it meets the fault where it lies
        finally:
            self.may_fail = may_fail

    def run(self) -> Outcome:
        self.head()
        self.plan()
        lines = self.lines
        # One empty line at the very end of a file is its end, not a block.
        if lines and lines[-1].ended and not lines[-1].text and len(lines) % self.per_block == 1:
            lines.pop()
        names = [self.names[j] for j in self.columns]
        if not self.find_width():
            return Outcome(names=names, width=self.found_width)
        complete, cut = divmod(len(lines), self.per_block)
        cut = cut != 0
        negative = any(v is not None and v < 0 for v in (self.start, self.stop))
        if negative and self.seekable:
            # The blocks are counted first, then the chosen ones read.
            if self.complete and not cut and complete and not self.last_block_whole(complete - 1):
                complete -= 1
            chosen = resolve(self.start, self.stop, self.step, complete + (cut and not self.complete))
            visit = list(chosen)
            # With complete_blocks, a cut block after the chosen ones is read
            # for its faults, as a read through the file would meet them.
            if self.complete and cut and chosen.stop == complete and (complete - chosen.start) % self.step == 0:
                visit.append(complete)
        else:
            # Read from the front: a stream with a bound from the end holds
            # every block until its end says which are last.
            start, stop, step = (0, None, 1) if negative else (self.start or 0, self.stop, self.step)
            visit = range(start, complete + cut if stop is None else min(stop, complete + cut), step)
        rows, numbers = [], []
        for b in visit:
            row = self.block(b)
            if row is None:
                break
            rows.append(row)
            numbers.append(b)
        if negative and not self.seekable:
            kept = resolve(self.start, self.stop, self.step, len(rows))
            rows, numbers = [rows[i] for i in kept], list(kept)
        return Outcome(rows, names, numbers, self.found_width, may_fail=self.may_fail)


def model_read(data: bytes, width=None, *, float32=False, parameters=None, blocks=None,
               complete_blocks=False, seekable=True) -> Outcome:
    """What torvask.read must do with a file of `data`. `seekable` is False
    for a stream (a compressed file, a file object)."""
    model = Model(data, width, float32, parameters, blocks, complete_blocks, seekable)
    try:
        return model.run()
    except Fault as fault:
        return Outcome(fault=fault)
