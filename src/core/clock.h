// The timestamp source. Recording threads only read the raw counter (one RDTSC where the
// processor has an invariant TSC); all conversion to nanoseconds happens on the serializer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>
#include <type_traits>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace vespra {

// Nanoseconds = (ticks * factor) >> shift, the product taken in 128 bits.
struct TscScale {
    uint64_t factor;
    uint32_t shift;
};

// True when the processor has an invariant TSC and RDTSCP; only then is the TSC a trustworthy
// clock across cores, frequency changes and sleep states.
bool tsc_is_reliable();
// True when the processor reports an invariant TSC (whether or not it shows RDTSCP).
bool tsc_is_invariant();

// Which counter a run reads. `automatic` is the rule above; `tsc` takes the TSC wherever the
// processor reports it invariant, also where RDTSCP is hidden (virtual machines do that), after
// a check that readings on different CPUs agree; `monotonic` always reads CLOCK_MONOTONIC.
enum class ClockSource { automatic, tsc, monotonic };
// "auto", "tsc" or "monotonic"; nothing for anything else.
std::optional<ClockSource> parse_clock_source(std::string_view name);

// Whether `read` never goes backwards across CPUs: for every CPU this thread may run on, a
// thread there and one on the first CPU pass a reading back and forth `rounds` times, and each
// reading must be at least the one it was handed (taken before it, in real time). A TSC whose
// per-CPU offsets differ by more than the time of one hand-over fails. Trivially true with one
// CPU. `read` is a parameter for the tests; it must not run ahead of the loads before it (the
// TSC is read after an LFENCE).
bool readings_consistent_across_cpus(uint64_t (*read)(), int rounds = 2000);

// Measures the TSC against CLOCK_MONOTONIC over `window_nanos` (about 10 ms by default). Returns
// a zero factor when the measurement is unusable (no TSC, or it did not advance). Clock calls it
// once per process; tests call it directly to check the scale it produces.
TscScale measure_tsc_scale(uint64_t window_nanos = 10000000);

// Every process that writes into one trace file stamps its events against one time base: the
// trace's origin, a reading of CLOCK_MONOTONIC (which all processes of the machine share). The
// first run of a file takes it; the runs of forked and exec'd children receive it and convert
// through their own counter, so that events of different processes line up as they happened.
class Clock {
  public:
    // Selects the counter source (calibrating the TSC once per process, thread-safely; a thread
    // arriving during calibration waits for it) and takes the current reading as the origin.
    // The calibration costs about 10 ms, once; a forked child inherits its result. The clock's
    // origin is also the trace's origin: its first timestamp is 0. A forced TSC that the
    // processor does not report invariant, or whose readings disagree across CPUs, is refused
    // with a one-line warning on stderr (once per process), and the run reads CLOCK_MONOTONIC.
    static Clock starting_now(ClockSource source = ClockSource::automatic);
    // The same, for a run that writes into a trace whose origin is `trace_origin` on
    // CLOCK_MONOTONIC: timestamps count from there, the clock's own origin being stamped at
    // (now - trace_origin), or 0 when `trace_origin` lies ahead of now.
    static Clock starting_now(uint64_t trace_origin, ClockSource source = ClockSource::automatic);

    // The raw counter: TSC ticks, or CLOCK_MONOTONIC nanoseconds. Safe from any thread; the
    // only clock operation on the recording path.
    uint64_t raw() const {
#if defined(__x86_64__)
        if (__builtin_expect(tsc_, 1)) return __rdtsc();
#endif
        return monotonic_raw();
    }

#if defined(__x86_64__)
    // raw() of a clock that uses_tsc(), with no test of the source: for a caller that has
    // tested it once and would rather not pay for raw()'s call to the monotonic clock on a path
    // it never takes.
    static uint64_t tsc_raw() { return __rdtsc(); }
#endif

    // Nanoseconds since the trace's origin; readings at or before the clock's own origin give
    // the offset of that origin (0 for the run that took the trace's origin).
    uint64_t to_nanos(uint64_t raw) const {
        uint64_t d = raw > origin_ ? raw - origin_ : 0;
        if (!tsc_) return offset_ + d;
        auto scaled = (static_cast<unsigned __int128>(d) * scale_factor_) >> scale_shift_;
        return offset_ + static_cast<uint64_t>(scaled);
    }

    // Converts the readings base + delta(i), i in [0, n), exactly as to_nanos converts each,
    // and hands them to emit(i, nanos). For a batch of one thread's readings, whose deltas fit
    // 32 bits, the part of the product that depends on `base` is taken once: each reading then
    // costs a 64-bit multiply and an add instead of a 128-bit product.
    template <class Delta, class Emit>
    void to_nanos_batch(uint64_t base, size_t n, Delta delta, Emit emit) const {
        // The short form needs every reading at or after the origin and delta * factor below
        // 2^64, which holds for any TSC faster than 1 GHz; anything else takes the long form.
        if (base < origin_ || (tsc_ && (scale_factor_ >> 32) != 0)) {
            for (size_t i = 0; i < n; ++i) emit(i, to_nanos(base + delta(i)));
            return;
        }
        uint64_t from_origin = base - origin_;
        if (!tsc_) {
            for (size_t i = 0; i < n; ++i) emit(i, offset_ + from_origin + delta(i));
            return;
        }
        unsigned __int128 base_product =
            static_cast<unsigned __int128>(from_origin) * scale_factor_;
        auto convert = [&](auto shift) {
            for (size_t i = 0; i < n; ++i) {
                uint64_t part = uint64_t{static_cast<uint32_t>(delta(i))} * scale_factor_;
                emit(i, offset_ + static_cast<uint64_t>((base_product + part) >> shift));
            }
        };
        // The calibration always takes a shift of 32; as a constant it is one instruction.
        if (scale_shift_ == 32) {
            convert(std::integral_constant<uint32_t, 32>{});
        } else {
            convert(scale_shift_);
        }
    }

    uint64_t origin() const { return origin_; }
    bool uses_tsc() const { return tsc_; }
    // The trace's origin on CLOCK_MONOTONIC, as a child process must receive it.
    uint64_t trace_origin() const { return trace_origin_; }

    // For tests: a clock with an explicit source and scale.
    static Clock monotonic_with_origin(uint64_t origin, uint64_t offset = 0) {
        return Clock(false, 0, 0, origin, offset);
    }
    static Clock tsc_with(uint64_t scale_factor, uint32_t scale_shift, uint64_t origin,
                          uint64_t offset = 0) {
        return Clock(true, scale_factor, scale_shift, origin, offset);
    }

    static uint64_t monotonic_nanos() {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
    }

  private:
    // Out of line and cold so that the TSC path of raw() inlines without a stack frame.
    [[gnu::noinline, gnu::cold]] static uint64_t monotonic_raw();

    Clock(bool tsc, uint64_t scale_factor, uint32_t scale_shift, uint64_t origin, uint64_t offset)
        : tsc_(tsc),
          scale_shift_(scale_shift),
          scale_factor_(scale_factor),
          origin_(origin),
          offset_(offset) {}

    static Clock starting_at(uint64_t trace_origin, bool inherit, ClockSource source);

    bool tsc_;
    uint32_t scale_shift_;  // 0..127
    uint64_t scale_factor_;
    uint64_t origin_;            // raw counter reading at this clock's creation
    uint64_t offset_;            // nanoseconds from the trace's origin to `origin_`
    uint64_t trace_origin_ = 0;  // CLOCK_MONOTONIC nanoseconds
};

}  // namespace vespra
