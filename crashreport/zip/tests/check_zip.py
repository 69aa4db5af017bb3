#!/usr/bin/env python3
"""Checks a ZIP archive of ours field by field and prints its entries.

check_zip.py ARCHIVE [START]: START is the offset of the archive's first
byte in the file (0 by default). Every local header, data descriptor,
central record and the end record is parsed and compared with the layout
the writer promises; entries must follow each other with no byte between
them, and python's zipfile must read every entry back (testzip). Prints one
line per entry, "name method flags crc compressed size attributes time date
mtime atime ctime descriptor", and exits 0; on the first fault it prints
"error: ..." and exits 1.
"""
import struct
import sys
import zipfile


def fail(message):
    print("error: " + message)
    sys.exit(1)


def expect(what, got, want):
    if got != want:
        fail("%s is %r, expected %r" % (what, got, want))


def main():
    path = sys.argv[1]
    start = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    data = open(path, "rb").read()
    if len(data) < start + 22:
        fail("shorter than an end record")
    end = len(data) - 22
    (sig, disk, cd_disk, count_here, count, cd_size, cd_offset,
     comment) = struct.unpack_from("<IHHHHIIH", data, end)
    expect("end signature", sig, 0x06054B50)
    expect("disk numbers", (disk, cd_disk), (0, 0))
    expect("entries on this disk", count_here, count)
    expect("comment length", comment, 0)
    expect("directory end", cd_offset + cd_size, end)

    at = cd_offset
    next_local = start
    lines = []
    for index in range(count):
        (sig, made_by, needed, flags, method, time, date, crc, csize, usize, name_len,
         extra_len, comment_len, disk, internal, external,
         offset) = struct.unpack_from("<IHHHHHHIIIHHHHHII", data, at)
        where = "central record %d" % index
        expect(where + " signature", sig, 0x02014B50)
        expect(where + " made by", made_by, 0x0B17)
        expect(where + " version needed", needed, 20)
        expect(where + " extra length", extra_len, 9)
        expect(where + " comment, disk, internal", (comment_len, disk, internal), (0, 0, 0))
        name = data[at + 46:at + 46 + name_len]
        ut_id, ut_size, ut_flags, ut_mtime = struct.unpack_from(
            "<HHBI", data, at + 46 + name_len)
        expect(where + " extra", (ut_id, ut_size, ut_flags), (0x5455, 5, 7))
        if method not in (0, 8):
            fail(where + " method %d" % method)
        if method == 0:
            expect(where + " stored sizes", csize, usize)
        if flags & ~(0x0808):
            fail(where + " flags %#x" % flags)
        if any(b >= 0x80 for b in name) != bool(flags & 0x800):
            fail(where + " UTF-8 flag against its name")
        expect(where + " offset", offset, next_local)
        at += 46 + name_len + extra_len

        where = "local header %d" % index
        (lsig, lneeded, lflags, lmethod, ltime, ldate, lcrc, lcsize, lusize, lname_len,
         lextra_len) = struct.unpack_from("<IHHHHHIIIHH", data, offset)
        expect(where + " signature", lsig, 0x04034B50)
        expect(where + " version needed", lneeded, 20)
        expect(where + " fields", (lflags, lmethod, ltime, ldate, lname_len),
               (flags, method, time, date, name_len))
        expect(where + " name", data[offset + 30:offset + 30 + name_len], name)
        expect(where + " extra length", lextra_len, 17)
        (l_id, l_size, l_flags, l_mtime, l_atime,
         l_ctime) = struct.unpack_from("<HHBIII", data, offset + 30 + name_len)
        expect(where + " extra", (l_id, l_size, l_flags, l_mtime), (0x5455, 13, 7, ut_mtime))
        data_start = offset + 30 + name_len + lextra_len
        data_end = data_start + csize
        descriptor = bool(flags & 8)
        if descriptor:
            expect(where + " sizes before the descriptor", (lcrc, lcsize, lusize), (0, 0, 0))
            dsig, dcrc, dcsize, dusize = struct.unpack_from("<IIII", data, data_end)
            expect("descriptor %d" % index, (dsig, dcrc, dcsize, dusize),
                   (0x08074B50, crc, csize, usize))
            next_local = data_end + 16
        else:
            expect(where + " sizes", (lcrc, lcsize, lusize), (crc, csize, usize))
            next_local = data_end
        lines.append("%s %d %d %08x %d %d %08x %04x %04x %d %d %d %d" % (
            name.decode("utf-8"), method, flags, crc, csize, usize, external, time, date,
            ut_mtime, l_atime, l_ctime, descriptor))
    expect("directory offset", cd_offset, next_local)

    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        if bad is not None:
            fail("zipfile cannot read %s" % bad)
        expect("entries zipfile sees", len(z.infolist()), count)
    for line in lines:
        print(line)


main()
