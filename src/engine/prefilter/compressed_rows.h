// The codes of a run of rows that the pre-filter (prefilter/single_scan.h)
// reads instead of the float32 rows: int8 codes with one f32 scale per row,
// and per stripe of kStripeRows rows the upper bounds that the pre-filter's error
// bound needs (score_error::CompressedGap).
//
// Why int8 with a per-row scale: a quarter of the bytes of the float rows, so
// a scan that is bound by memory bandwidth reads four times less; exact
// integer sums, so every CPU computes the same approximation; and on
// embedding-like rows the residual is small enough that the rows the bound
// cannot rule out are a tiny fraction, rescored with the kernel.
//
// The codes are built lazily, by the first query that uses them, not when the
// index is opened or rows are added: opening stays one hash pass plus one
// read pass, Index.add stays a copy of the rows and a norm pass, and a process that never
// queries a large index never pays for (or holds) the codes. Rows appended to
// an Index run are quantised by the next search that wants the codes, and only
// those rows: an add-then-search workload pays the same once, a workload of
// many small adds between rare searches pays it once per search rather than
// once per add (quantising costs about one read of the new rows, measured
// 0.3 ms per 10,000 x 128 rows on two threads, against the add's own copy
// and norm pass). They are refused when they would not fit in the available
// memory; the queries then read the float rows as before.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "engine/format/mapping.h"
#include "engine/kernels/int_kernels.h"
#include "engine/runtime/tuning.h"

namespace lumvero {

// Upper bounds over the finite rows of one stripe: residual norm ||r||, scaled
// code norm s ||c|| and the f64 squared norm.
struct StripeBounds {
  double resid = 0.0;
  double code_norm = 0.0;
  double norm_sq = 0.0;
};

class CompressedRows {
 public:
  // Rows per stripe of StripeBounds (tuning.h).
  static constexpr std::size_t kStripeRows = tuning::kPrefilterStripeRows;

  // Bytes per row of codes: dims rounded up to the integer kernels' step.
  static std::size_t width_for(std::uint64_t dims);
  // Largest |query code| that keeps every integer sum inside int32 for rows
  // of this width; 0 when the width is too large for a useful filter.
  static std::int32_t query_code_limit(std::size_t width);
  // Memory the codes of rows x dims take.
  static std::uint64_t bytes_for(std::uint64_t rows, std::uint64_t dims);

  // Quantises the rows on the worker pool. nullptr when the memory cannot be
  // had. norms_sq: the engine's per-row f64 squared norms.
  static std::unique_ptr<CompressedRows> build(const float* data, std::uint64_t rows,
                                               std::uint64_t dims, const double* norms_sq);
  // Room for `capacity` rows, none quantised yet; nullptr when the memory
  // cannot be had or the rows are too wide for the integer sums.
  static std::unique_ptr<CompressedRows> reserve(std::uint64_t capacity, std::uint64_t dims);
  // Quantises rows [rows(), upto) of `data` (row r at data + r * dims) on the
  // worker pool; upto <= capacity(). Rows already quantised are not touched;
  // the bounds of a stripe that was partly filled grow to cover the new rows.
  bool extend(const float* data, std::uint64_t upto, const double* norms_sq);
  // Codes of `rows` rows kept in a file mapping (engine/format/codes_file.h): the
  // codes, scales and bounds at those addresses inside `file`, which the
  // codes own. Never extended (their capacity is their rows).
  static std::unique_ptr<CompressedRows> over(Mapping file, std::uint64_t rows, std::uint64_t dims,
                                              const std::uint8_t* codes, const float* scales,
                                              const StripeBounds* stripes);

  std::size_t width() const { return width_; }
  std::uint64_t rows() const { return rows_; }
  std::uint64_t capacity() const { return capacity_; }
  std::uint64_t bytes() const { return bytes_for(capacity_, dims_); }
  // Row r's codes c as bytes c + 128 (kernels/int_kernels.h).
  const std::uint8_t* codes(std::uint64_t r) const { return codes_at_ + r * width_; }
  // NaN for a row holding a NaN or an infinity (its kernel score is never
  // finite), 0 for an all-zero row.
  const float* scales() const { return scales_at_; }
  const StripeBounds& stripe(std::uint64_t i) const { return stripes_at_[i]; }
  const StripeBounds* stripes() const { return stripes_at_; }
  // Kept in a file mapping that was found shortened (its reads gave zeros).
  bool damaged() const { return file_.bytes() != nullptr && file_.damaged(); }

 private:
  struct FreeAligned {
    void operator()(std::uint8_t* p) const;
  };
  CompressedRows() = default;

  std::uint64_t rows_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t dims_ = 0;
  std::size_t width_ = 0;
  std::unique_ptr<std::uint8_t[], FreeAligned> codes_;
  std::unique_ptr<float[]> scales_;
  std::unique_ptr<StripeBounds[]> stripes_;
  // Where the accessors read: the buffers above, or inside file_.
  std::uint8_t* codes_at_ = nullptr;
  float* scales_at_ = nullptr;
  StripeBounds* stripes_at_ = nullptr;
  Mapping file_;
};

// A query as the integer kernels take it: int16 codes p with a power-of-two
// scale t, q_i = t p_i + e_i.
struct QueryCodes {
  kernels::IntQuery codes;  // width entries, zero-padded
  double scale = 1.0;       // t
  double error = 0.0;       // an upper bound of ||e||
};

// Codes of a finite query for rows of `width` codes, whose query_code_limit
// must not be 0.
QueryCodes encode_query(const float* q, std::size_t dims, std::size_t width);

// The codes of one run of rows (an opened index file, or a run of
// lumvero_contrib.Index), built by their first user and extended by the
// first user after rows were appended (only the new rows are quantised).
// Searches read them under a shared lock, held by the View they get, so an
// extension never changes what a running search reads. Refused for good when
// they would take more than their share of the available memory (the float
// rows are then read instead).
class RunCodes {
 public:
  struct View {
    std::shared_lock<std::shared_mutex> lock;
    const CompressedRows* rows = nullptr;  // covers at least the rows asked for
  };

  // The codes of rows [0, count) of `data` (row r at data + r * dims), whose
  // buffer holds `capacity` rows (>= count; the codes reserve that much, so
  // appends never move it). available_bytes: the memory the system has free,
  // read from /proc/meminfo when negative; the codes may take half of it.
  View acquire(const float* data, std::uint64_t count, std::uint64_t capacity, std::uint64_t dims,
               const double* norms_sq, double available_bytes = -1.0) const;

  // Whether the codes were refused (memory, or rows too wide).
  bool refused() const;
  // Whether codes covering rows [0, count) are built already (acquire would
  // neither build nor extend them).
  bool ready(std::uint64_t count) const;
  // Takes complete codes made elsewhere (read from a file), before any
  // search has used this one.
  void adopt(std::unique_ptr<CompressedRows> rows);
  // The codes are kept in a file mapping that was found shortened.
  bool damaged() const;

  // A hint, never a change of answer: a search whose band ran wide on these
  // rows records it, and the next kPrefilterWideSkips searches in auto mode
  // read the floats at once instead of probing the codes in vain; the one
  // after them probes again, so rows that changed (appends) are re-judged.
  void note_wide() const;
  // True (and one skip used) while a recorded wide band still holds.
  bool skip_wide() const;

 private:
  mutable std::atomic<std::uint32_t> wide_skips_{0};
  mutable std::shared_mutex mutex_;
  mutable std::unique_ptr<CompressedRows> rows_;
  mutable bool refused_ = false;
};

// Process-wide debug counters of the pre-filter (tests and benchmarks read them;
// nothing is reported anywhere else).
struct PrefilterCounters {
  std::atomic<std::uint64_t> searches{0};  // queries answered through the codes
  std::atomic<std::uint64_t> codes_built{0};
  std::atomic<std::uint64_t> codes_bytes{0};    // of the codes built
  std::atomic<std::uint64_t> codes_refused{0};  // not enough memory
  std::atomic<std::uint64_t> rows_scanned{0};   // through the codes
  std::atomic<std::uint64_t> rows_rescored{0};  // by compute_score at the end
  std::atomic<std::uint64_t> rows_fallback{0};  // scanned as floats: band too wide
};
PrefilterCounters& prefilter_counters();

}  // namespace lumvero
