// The sizes that cut searches into work: floats per chunk and per query
// block, row caps, rows per kernel call. They decide how work is split and
// how much memory a call holds, never which rows come back: every cut is
// merged under the one result order (result_order.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumvero::tuning {

// Floats of rows per chunk of the chunked and blocked scans and per row block
// of a batch (scan.cpp, chunk_rows), by metric and width.
// Euclidean: 12 MB of rows; a block's sgemm distances also go through the
// f64 identity and a band that widens on offset data, so blocks stay small.
inline constexpr std::uint64_t kChunkFloatsEuclidean = 3'000'000;
// Under 384 dims: 32 MB of rows, milliseconds of scan per task against a
// hand-over to the pool of microseconds.
inline constexpr std::uint64_t kChunkFloatsNarrow = 8'000'000;
// 384 to 767 dims: wider rows cost fewer heap offers per float, so a task
// takes more floats for the same time.
inline constexpr std::uint64_t kChunkFloatsMedium = 10'000'000;
// 768 dims and more: the same argument again, 64 MB of rows per task.
inline constexpr std::uint64_t kChunkFloatsWide = 16'000'000;

// Row caps of a chunk, by the same width classes: a chunk never holds more
// rows than this, so a large index still yields many tasks to balance.
inline constexpr std::uint64_t kChunkRowsNarrow = 8'000;
inline constexpr std::uint64_t kChunkRowsMedium = 16'000;
inline constexpr std::uint64_t kChunkRowsWide = 32'000;

// Score-matrix floats per query block of the matrix batch (batch_query.cpp,
// qblock): one block's qblock x rows scores stay within this.
// Euclidean: the scores are rewritten through the f64 identity, so the
// matrix is kept smallest.
inline constexpr std::uint64_t kQueryBlockFloatsEuclidean = 3'000'000;
// Up to 256 dims: 32 MB of scores per block.
inline constexpr std::uint64_t kQueryBlockFloatsNarrow = 8'000'000;
// Above 256 dims: the queries themselves take more room, so fewer scores.
inline constexpr std::uint64_t kQueryBlockFloatsWide = 5'000'000;

// Queries per block at most, by width (< 384, < 768, 768 and more): the
// packed query panel sgemm copies stays about the same size.
inline constexpr std::uint64_t kQueryBlockCapNarrow = 256;
inline constexpr std::uint64_t kQueryBlockCapMedium = 128;
inline constexpr std::uint64_t kQueryBlockCapWide = 64;

// Scores per super-chunk of the chunked matrix batch: 200 MB of scores
// bounds the memory of the whole call, whatever the query count.
inline constexpr std::uint64_t kSuperChunkScores = 50'000'000;

// Inside one batch task the product is cut into tiles of at most this many
// queries by rows, so the score tile stays in cache between sgemm writing it
// and the band filter reading it. Many queries per tile matter most: sgemm
// packs the tile's rows once per call, and that copy is only amortised over
// the queries (measured on Zen 4 with OpenBLAS: 1,000 x 512 tiles run at
// ~97% of one large sgemm, 64 x 4,096 at ~70%).
inline constexpr std::size_t kTileQueries = 1024;
inline constexpr std::size_t kTileRows = 512;

// Rows scored per score_rows call in the scans. The kernel streams four
// quarters of each call at once; long quarters keep the hardware prefetcher
// on track (64 rows measured 30-40 % slower at 128 dims). 2 KiB of stack.
inline constexpr std::size_t kScanRows = 512;

// Below this many floats a query is answered on the calling thread: handing
// a few microseconds of work to the pool costs more than it saves.
inline constexpr std::uint64_t kInlineFloats = std::uint64_t{1} << 16;

// Rows per score gap: the gap is taken over the largest norm of a run of
// rows, so runs are short enough that one large row widens few others, and
// long enough that the maximum costs next to nothing against the scores.
inline constexpr std::size_t kGapRows = 512;

// The compressed filter (compressed_rows.h, filtered_scan.h).
// Rows per run of the copy's per-run bounds: short enough that one outlying
// row widens few others, long enough that the per-run work is negligible
// (32-row runs measured 13 % fewer rows rescored at 768 dims, and slower).
inline constexpr std::size_t kFilterRunRows = 256;
// Rows per integer kernel call: whole runs, long enough for the kernel's
// four memory streams (16 KiB of stack for the sums and scores).
inline constexpr std::size_t kFilterBlockRows = 8 * kFilterRunRows;
// Below this many rows, or this many floats, the float rows are read from
// cache quickly enough that the copy does not pay for its memory and its
// build (measured: 20,000 x 128 still 1.3x faster, 10,000 x 64 even).
inline constexpr std::uint64_t kFilterMinRows = 16384;
inline constexpr std::uint64_t kFilterMinFloats = std::uint64_t{1} << 21;
// A piece checks its band once, after its first kFilterProbeRows rows: more
// than one row in kFilterWideBand still in the band means the bound is too
// loose for the data (a large common offset, near-copies), and the piece
// reads its rows as floats instead; the probe costs about 4,096 rows of
// codes per piece.
inline constexpr std::uint64_t kFilterProbeRows = 4096;
inline constexpr std::uint64_t kFilterWideBand = 16;
// A band holds at least k rows, all rescored on the calling thread: beyond
// this k the parallel float scan stays ahead, and a probe could not tell a
// wide band from a large k.
inline constexpr std::size_t kFilterMaxK = kFilterProbeRows / kFilterWideBand;
// A batch goes through the copy's tiles from this many queries; fewer are
// answered one at a time. Measured with 1,000 queries, k = 10, embedding-like
// rows: 100,000 x 384 about 1.9x and 1,000,000 x 128 about 2.1x faster than
// the fp32 product (benchmarks/bench_filter.py).
inline constexpr std::size_t kFilterBatchMinQueries = 4;
// The copy may take at most this share of the memory the system has free.
inline constexpr double kFilterMemoryShare = 0.5;
// Rows per build task: whole runs, enough work per hand-over.
inline constexpr std::uint64_t kFilterBuildRows = 16 * kFilterRunRows;

// The in-memory search of lumvero_contrib.Index (engine/filtered_search).
// Rows per score_rows call of its kernel scan: long enough to keep the
// kernel's four streams at memory speed, short enough for a stack buffer.
inline constexpr std::size_t kFilteredScoreBlock = 1024;
// From this many queries on, a call scores tiles with sgemm; fewer run the
// kernel scan once per query (the module's own split).
inline constexpr std::size_t kFilteredMatrixFromQueries = 4;
// Allow-list entries between the row being scored and the row fetched ahead:
// enough to overlap the latencies of scattered rows.
inline constexpr std::uint64_t kFilteredPrefetchAhead = 8;
// Below this many products (queries x selected rows x dims) a call runs on
// the calling thread: waking the pool would cost more than the work.
inline constexpr std::uint64_t kFilteredInlineProducts = std::uint64_t{1} << 19;

}  // namespace lumvero::tuning
