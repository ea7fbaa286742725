"""Opening index files: header checks, exact messages, hash and path."""
import os
import struct

import numpy as np
import pytest

import lumvero
from blake3_ref import blake3_hex
from conftest import write_index

X6 = np.array([[1, 2, 3], [4, 5, 6]], np.float32)


def test_thirty_six_byte_file_opens(tmp_path):
    path = write_index(tmp_path / "a.bin", X6, "dot")
    assert os.path.getsize(path) == 36
    e = lumvero.PySearchEngine(path, False)
    assert (e.dims(), e.rows()) == (3, 2)


def test_missing_file_message():
    with pytest.raises(ValueError) as info:
        lumvero.PySearchEngine("missing.bin", True)
    assert str(info.value) == ("Failed to open file missing.bin: "
                               "No such file or directory (os error 2)")


def test_truncated_file(tmp_path):
    path = write_index(tmp_path / "a.bin", X6, "dot")
    with open(path, "r+b") as f:
        f.truncate(35)
    with pytest.raises(ValueError, match=r"^File too small: expected 36 bytes, got 35$"):
        lumvero.PySearchEngine(path, False)


@pytest.mark.parametrize("length", [0, 1, 11])
def test_shorter_than_header_is_refused(tmp_path, length):
    path = tmp_path / "short.bin"
    path.write_bytes(b"\x01" * length)
    with pytest.raises(ValueError, match="File too small"):
        lumvero.PySearchEngine(str(path), False)


@pytest.mark.parametrize("header", [
    struct.pack("<III", 3, 2, 7),
    struct.pack("<III", 3, 2, 3),
    b"\x03\0\0\0\x02\0\0\0\x01\x01\x01\x01",
])
def test_unknown_metric_any_length(tmp_path, header):
    path = tmp_path / "m.bin"
    path.write_bytes(header)  # far too short for its data, metric checked first
    metric_id = struct.unpack("<I", header[8:12])[0]
    with pytest.raises(ValueError) as info:
        lumvero.PySearchEngine(str(path), False)
    assert str(info.value) == f"Unknown metric id: {metric_id}"


@pytest.mark.parametrize("dims,rows,length,expected", [
    (2 ** 31, 2 ** 31, 12, 18446744073709551628),
    (0xFFFFFFFF, 0xFFFFFFFF, 76, 4 * 0xFFFFFFFF ** 2 + 12),
    (2 ** 16, 2 ** 16, 12, 2 ** 34 + 12),
])
def test_required_length_is_shown_in_full(tmp_path, dims, rows, length, expected):
    """The length a header asks for is reported exactly, even past 64 bits."""
    path = tmp_path / "h.bin"
    path.write_bytes(struct.pack("<III", dims, rows, 1) + b"\0" * (length - 12))
    with pytest.raises(ValueError) as info:
        lumvero.PySearchEngine(str(path), False)
    assert str(info.value) == f"File too small: expected {expected} bytes, got {length}"


@pytest.mark.parametrize("suffix", ["\0", "\0.bin", "\0/../other.bin"])
def test_path_with_nul_is_refused(tmp_path, suffix):
    path = write_index(tmp_path / "a.bin", X6, "dot")
    with pytest.raises(ValueError) as info:
        lumvero.PySearchEngine(path + suffix, False)
    assert str(info.value) == "embedded null byte"


def test_zero_rows_header_only(tmp_path):
    path = tmp_path / "z.bin"
    path.write_bytes(struct.pack("<III", 4, 0, 0))
    e = lumvero.PySearchEngine(str(path), False)
    assert (e.dims(), e.rows()) == (4, 0)
    r = e.query_exact(np.ones(4, np.float32), 3)
    assert r.results == [] and r.method_used == "exact"


def test_trailing_bytes_change_hash_only(tmp_path):
    a = write_index(tmp_path / "a.bin", X6, "dot")
    b = write_index(tmp_path / "b.bin", X6, "dot", extra=b"tail")
    q = np.ones(3, np.float32)
    ra = lumvero.PySearchEngine(a, False).query_exact_arrays(q, 2)
    rb = lumvero.PySearchEngine(b, False).query_exact_arrays(q, 2)
    assert ra["index_hash"] != rb["index_hash"]
    assert ra["index_hash"] == blake3_hex(open(a, "rb").read())
    assert rb["index_hash"] == blake3_hex(open(b, "rb").read())
    np.testing.assert_array_equal(ra["indices"], rb["indices"])


def test_same_bytes_same_hash_anywhere(tmp_path):
    a = write_index(tmp_path / "a.bin", X6, "cosine")
    os.makedirs(tmp_path / "sub")
    b = write_index(tmp_path / "sub" / "b.bin", X6, "cosine")
    q = np.ones(3, np.float32)
    ha = lumvero.PySearchEngine(a, False).query_exact_arrays(q, 1)["index_hash"]
    hb = lumvero.PySearchEngine(b, False).query_exact_arrays(q, 1)["index_hash"]
    assert ha == hb and len(ha) == 64 and ha == ha.lower()


def test_symlink_reports_target_and_relative_path_kept(tmp_path, monkeypatch):
    target = write_index(tmp_path / "t.bin", X6, "dot")
    link = tmp_path / "link.bin"
    link.symlink_to(target)
    q = np.ones(3, np.float32)
    d = lumvero.PySearchEngine(str(link), False).query_exact_arrays(q, 1)
    assert d["index_path"] == os.path.realpath(target)
    monkeypatch.chdir(tmp_path)
    d = lumvero.PySearchEngine("t.bin", False).query_exact_arrays(q, 1)
    assert d["index_path"] == os.path.realpath(target)


@pytest.mark.parametrize("kind", ["dir", "fifo", "device"])
def test_non_regular_files_are_refused(tmp_path, kind):
    if kind == "dir":
        path = str(tmp_path)
    elif kind == "fifo":
        path = str(tmp_path / "fifo")
        os.mkfifo(path)
    else:
        path = "/dev/zero"
    with pytest.raises(ValueError, match="^Failed to mmap file: "):
        lumvero.PySearchEngine(path, False)


def test_unreadable_file_message(tmp_path):
    path = write_index(tmp_path / "a.bin", X6, "dot")
    os.chmod(path, 0)
    if os.access(path, os.R_OK):
        pytest.skip("running with privileges that ignore file modes")
    with pytest.raises(ValueError, match=r"^Failed to open file .*Permission denied \(os error 13\)$"):
        lumvero.PySearchEngine(path, False)


def test_engine_keeps_old_contents_after_replacement(tmp_path):
    path = write_index(tmp_path / "a.bin", X6, "dot")
    e = lumvero.PySearchEngine(path, False)
    tmp = write_index(tmp_path / "a.tmp", X6 * 2, "dot")
    os.rename(tmp, path)
    r = e.query_exact(np.array([1, 0, 0], np.float32), 1)
    assert r.results[0].score == 4.0
