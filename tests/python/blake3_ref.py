"""A pure-Python BLAKE3 (the published algorithm) to check the digests the
module reports. Slow: for the small inputs of the tests only."""
IV = [0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
      0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19]
MSG_PERMUTATION = [2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8]
CHUNK_START, CHUNK_END, PARENT, ROOT = 1, 2, 4, 8
BLOCK_LEN, CHUNK_LEN = 64, 1024
M32 = 0xFFFFFFFF


def _g(s, a, b, c, d, x, y):
    s[a] = (s[a] + s[b] + x) & M32
    s[d] = ((s[d] ^ s[a]) >> 16 | (s[d] ^ s[a]) << 16) & M32
    s[c] = (s[c] + s[d]) & M32
    s[b] = ((s[b] ^ s[c]) >> 12 | (s[b] ^ s[c]) << 20) & M32
    s[a] = (s[a] + s[b] + y) & M32
    s[d] = ((s[d] ^ s[a]) >> 8 | (s[d] ^ s[a]) << 24) & M32
    s[c] = (s[c] + s[d]) & M32
    s[b] = ((s[b] ^ s[c]) >> 7 | (s[b] ^ s[c]) << 25) & M32


def _compress(cv, block, counter, block_len, flags):
    m = [int.from_bytes(block[4 * i:4 * i + 4], "little") for i in range(16)]
    s = cv[:8] + IV[:4] + [counter & M32, counter >> 32, block_len, flags]
    for r in range(7):
        _g(s, 0, 4, 8, 12, m[0], m[1]); _g(s, 1, 5, 9, 13, m[2], m[3])
        _g(s, 2, 6, 10, 14, m[4], m[5]); _g(s, 3, 7, 11, 15, m[6], m[7])
        _g(s, 0, 5, 10, 15, m[8], m[9]); _g(s, 1, 6, 11, 12, m[10], m[11])
        _g(s, 2, 7, 8, 13, m[12], m[13]); _g(s, 3, 4, 9, 14, m[14], m[15])
        if r < 6:
            m = [m[i] for i in MSG_PERMUTATION]
    return [s[i] ^ s[i + 8] for i in range(8)] + [s[i + 8] ^ cv[i] for i in range(8)]


def _chunk_output(chunk, counter):
    cv = IV[:]
    blocks = [chunk[i:i + BLOCK_LEN] for i in range(0, len(chunk), BLOCK_LEN)] or [b""]
    for n, blk in enumerate(blocks):
        flags = (CHUNK_START if n == 0 else 0) | (CHUNK_END if n == len(blocks) - 1 else 0)
        padded = blk + b"\0" * (BLOCK_LEN - len(blk))
        if n == len(blocks) - 1:
            return (cv, padded, counter, len(blk), flags)
        cv = _compress(cv, padded, counter, BLOCK_LEN, flags)[:8]


def _cv(out):
    return _compress(*out)[:8]


def _parent(left, right):
    block = b"".join(w.to_bytes(4, "little") for w in left + right)
    return (IV[:], block, 0, BLOCK_LEN, PARENT)


def blake3_hex(data: bytes) -> str:
    chunks = [data[i:i + CHUNK_LEN] for i in range(0, len(data), CHUNK_LEN)] or [b""]
    stack = []
    out = None
    for i, chunk in enumerate(chunks):
        out = _chunk_output(chunk, i)
        if i == len(chunks) - 1:
            break
        cv = _cv(out)
        total = i + 1
        while total & 1 == 0:
            cv = _cv(_parent(stack.pop(), cv))
            total >>= 1
        stack.append(cv)
    while stack:
        out = _parent(stack.pop(), _cv(out))
    cv, block, counter, block_len, flags = out
    words = _compress(cv, block, counter, block_len, flags | ROOT)
    return b"".join(w.to_bytes(4, "little") for w in words[:8]).hex()
