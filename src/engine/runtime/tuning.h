// The sizes that cut searches into work: floats per chunk of rows and per
// chunk of queries, row caps, rows per kernel call. They decide how work is split and
// how much memory a call holds, never which rows come back: every cut is
// merged under the one result order (result_order.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumvero::tuning {

// Floats of rows per chunk of the chunked and blocked scans and per row chunk
// of a batch (scan.cpp, chunk_rows), by metric and width.
// Euclidean: 12 MB of rows; a chunk's sgemm distances also go through the
// f64 identity and a band that widens on offset data, so chunks stay small.
inline constexpr std::uint64_t kChunkFloatsEuclidean = 3'000'000;
// Under 384 dims: 32 MB of rows, milliseconds of scan per task against a
// hand-over to the pool of microseconds.
inline constexpr std::uint64_t kChunkFloatsShort = 8'000'000;
// 384 to 767 dims: wider rows cost fewer heap offers per float, so a task
// takes more floats for the same time.
inline constexpr std::uint64_t kChunkFloatsMedium = 10'000'000;
// 768 dims and more: the same argument again, 64 MB of rows per task.
inline constexpr std::uint64_t kChunkFloatsLong = 16'000'000;

// Row caps of a chunk, by the same width classes: a chunk never holds more
// rows than this, so a large index still yields many tasks to balance.
inline constexpr std::uint64_t kChunkRowsShort = 8'000;
inline constexpr std::uint64_t kChunkRowsMedium = 16'000;
inline constexpr std::uint64_t kChunkRowsLong = 32'000;

// Score-matrix floats per query chunk of the matrix batch (batch_query.cpp,
// qblock): one chunk's qblock x rows scores stay within this.
// Euclidean: the scores are rewritten through the f64 identity, so the
// matrix is kept smallest.
inline constexpr std::uint64_t kQueryChunkFloatsEuclidean = 3'000'000;
// Up to 256 dims: 32 MB of scores per chunk.
inline constexpr std::uint64_t kQueryChunkFloatsShort = 8'000'000;
// Above 256 dims: the queries themselves take more room, so fewer scores.
inline constexpr std::uint64_t kQueryChunkFloatsLong = 5'000'000;

// Queries per chunk at most, by width (< 384, < 768, 768 and more): the
// packed query panel sgemm copies stays about the same size.
inline constexpr std::uint64_t kQueryChunkCapShort = 256;
inline constexpr std::uint64_t kQueryChunkCapMedium = 128;
inline constexpr std::uint64_t kQueryChunkCapLong = 64;

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

// Rows per score gap: the gap is taken over the largest norm of a run of
// rows, so runs are short enough that one large row widens few others, and
// long enough that the maximum costs next to nothing against the scores.
inline constexpr std::size_t kGapRows = 512;

// From this many queries on, a batch scores tiles of queries x rows (sgemm or
// the compressed tiles); fewer run the single-query scans once per query.
// Both surfaces split here: the module's default batch choice and Index.
inline constexpr std::size_t kMatrixFromQueries = 4;

// The compressed pre-filter (compressed_rows.h, prefilter/single_scan.h).
// Rows per stripe (the rows that share one set of error bounds in the codes):
// short enough that one outlying row widens few others, long enough that the
// per-stripe work is negligible (32-row stripes measured 13 % fewer rows
// rescored at 768 dims, and slower).
inline constexpr std::size_t kPrefilterStripeRows = 256;
// Rows per integer kernel call (a window): whole stripes, long enough for the kernel's
// four memory streams (16 KiB of stack for the sums and scores).
inline constexpr std::size_t kPrefilterWindowRows = 8 * kPrefilterStripeRows;
// Below this many rows, or this many floats, the float rows are read from
// cache quickly enough that the codes do not pay for its memory and its
// build (measured: 20,000 x 128 still 1.3x faster, 10,000 x 64 even).
inline constexpr std::uint64_t kPrefilterMinRows = 16384;
inline constexpr std::uint64_t kPrefilterMinFloats = std::uint64_t{1} << 21;
// A list of positions this long or longer goes through the codes when its
// runs' codes are already built, however few rows it lists: the rows are
// scattered, so each costs a cache miss whether its 4-byte floats or its
// 1-byte codes are read (measured: 10,000 of 1,000,000 x 128 rows, the codes
// about a fifth faster), and no search pays for building them.
inline constexpr std::uint64_t kPrefilterListMinRows = 2048;
// The wide-band check: more than one row in kPrefilterWideBand of the rows
// scanned still in the band means the bound is too loose for the data (a
// large common offset, near-copies), and the rest is read as floats. Every
// piece checks after its first probe (a sixteenth of the piece, at least two
// stripes and at most kPrefilterProbeRows rows, whatever the piece's
// length) and after every window; one piece's finding switches the whole
// search to floats, so the codes read in vain stay a few percent of the rows.
inline constexpr std::uint64_t kPrefilterProbeRows = 4096;
inline constexpr std::uint64_t kPrefilterProbeMinRows = 4 * kPrefilterStripeRows;
inline constexpr std::uint64_t kPrefilterProbeShare = 16;
inline constexpr std::uint64_t kPrefilterWideBand = 16;
// After a search of a run's codes found its band wide, this many searches of
// the same codes in auto mode read the floats without probing; then one probes
// again. A probe that falls back costs up to about a fifth more than the
// float scan (40,000 offset rows, 2 threads), so one in 33 costs under 1 %.
inline constexpr std::uint32_t kPrefilterWideSkips = 32;
// A band holds at least k rows, all rescored on the calling thread: beyond
// this k the parallel float scan stays ahead, and a probe could not tell a
// wide band from a large k.
inline constexpr std::size_t kPrefilterMaxK = kPrefilterProbeRows / kPrefilterWideBand;
// A batch goes through the codes' tiles from kMatrixFromQueries queries.
// Measured with 1,000 queries, k = 10, embedding-like rows: 100,000 x 384
// about 1.9x and 1,000,000 x 128 about 2.1x faster than the fp32 product
// (benchmarks/bench_filter.py).
// The codes may take at most this share of the memory the system has free.
inline constexpr double kPrefilterMemoryShare = 0.5;
// Rows per build task: whole stripes, enough work per hand-over.
inline constexpr std::uint64_t kPrefilterBuildRows = 16 * kPrefilterStripeRows;

// Scans of rows at scattered positions (a list of allowed positions).
// Entries between the row being scored and the row fetched ahead: enough to
// overlap the latencies of scattered rows.
inline constexpr std::uint64_t kPrefetchAhead = 8;
// Below this many products (queries x selected rows x dims) a search runs on
// the calling thread: waking the pool would cost more than the work.
inline constexpr std::uint64_t kInlineProducts = std::uint64_t{1} << 19;

}  // namespace lumvero::tuning
