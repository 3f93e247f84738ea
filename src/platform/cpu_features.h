// The vector instruction sets the pixel kernels are compiled for, what the
// processor offers beyond them, and the process-wide choice among a
// subsystem's kernels that depends on both.
#pragma once

// KESTRA_NO_SIMD leaves every vector kernel out, so that the portable scalar
// paths are built and tested on x86-64 too. MSVC has no feature macro for
// SSE4.1; its x86-64 builds assume x86-64-v2.
#if !defined(KESTRA_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64))
#define KESTRA_SIMD_SSE2 1
#endif
#if !defined(KESTRA_NO_SIMD) && (defined(__SSE4_1__) || (defined(_MSC_VER) && defined(_M_X64)))
#define KESTRA_SIMD_SSE41 1
#endif
// GCC and Clang can build AVX2 and AVX-512 kernels beside those and pick
// them at run time.
#if defined(KESTRA_SIMD_SSE2) && defined(__GNUC__) && defined(__x86_64__)
#define KESTRA_SIMD_AVX2_DISPATCH 1
#define KESTRA_SIMD_AVX512_DISPATCH 1
#endif

namespace kestra {

// The same, for code that chooses among kernels. Not inline: each source file
// reads them as its own flags say (the backdrop and analysis modules are
// compiled for SSE4.2, the others are not).
#if defined(KESTRA_SIMD_SSE2)
constexpr bool kBuildHasSse2 = true;
#else
constexpr bool kBuildHasSse2 = false;
#endif
#if defined(KESTRA_SIMD_SSE41)
constexpr bool kBuildHasSse41 = true;
#else
constexpr bool kBuildHasSse41 = false;
#endif
#if defined(KESTRA_SIMD_AVX2_DISPATCH)
constexpr bool kBuildHasAvx2Dispatch = true;
#else
constexpr bool kBuildHasAvx2Dispatch = false;
#endif
#if defined(KESTRA_SIMD_AVX512_DISPATCH)
constexpr bool kBuildHasAvx512Dispatch = true;
#else
constexpr bool kBuildHasAvx512Dispatch = false;
#endif

// Whether the processor runs AVX2 instructions; false where the compiler
// cannot ask (then no AVX2 kernel is built either).
bool cpuHasAvx2();

// Whether the processor runs the AVX-512 instructions the 512-bit kernels
// use (the foundation, byte and word, and 128/256-bit forms: F, BW, VL) and
// the system saves their registers; false where the compiler cannot ask.
bool cpuHasAvx512();

// The kernel choice of one subsystem whose kernels are named by `Kernel`
// { automatic, scalar, <a 128-bit kernel>, avx2 } and, for some, a 512-bit
// kernel beside them. automatic runs the widest kernel the build and the
// processor offer; the others pin one, so that tests can compare them.
template <class Kernel>
class KernelChoice {
  public:
    // narrow is the 128-bit kernel; narrowBuilt and avx2Built say whether
    // this build compiled it and the AVX2 kernel.
    constexpr KernelChoice(Kernel narrow, bool narrowBuilt, bool avx2Built)
        : narrow_(narrow), narrowBuilt_(narrowBuilt), avx2Built_(avx2Built) {}

    // The same with an AVX-512 kernel `wide`, which wideBuilt says this
    // build compiled.
    constexpr KernelChoice(Kernel narrow, bool narrowBuilt, bool avx2Built, Kernel wide, bool wideBuilt)
        : narrow_(narrow),
          narrowBuilt_(narrowBuilt),
          avx2Built_(avx2Built),
          wide_(wide),
          wideBuilt_(wideBuilt) {}

    // Pins `kernel` (automatic releases the pin); returns false, changing
    // nothing, when this build or processor lacks it.
    bool select(Kernel kernel) {
        const bool available = kernel == Kernel::automatic || kernel == Kernel::scalar ||
                               (kernel == narrow_ && narrowBuilt_) ||
                               (kernel == Kernel::avx2 && avx2Built_ && cpuHasAvx2()) ||
                               (kernel == wide_ && wideBuilt_ && cpuHasAvx512());
        if (available) {
            selected_ = kernel;
        }
        return available;
    }

    // The kernel to run with now: the pinned one, or the widest on offer.
    Kernel active() const {
        if (selected_ != Kernel::automatic) {
            return selected_;
        }
        if (wideBuilt_ && cpuHasAvx512()) {
            return wide_;
        }
        if (avx2Built_ && cpuHasAvx2()) {
            return Kernel::avx2;
        }
        return narrowBuilt_ ? narrow_ : Kernel::scalar;
    }

    void reset() { selected_ = Kernel::automatic; }

  private:
    Kernel narrow_;
    bool narrowBuilt_;
    bool avx2Built_;
    Kernel wide_ = Kernel::automatic;  // automatic: there is none
    bool wideBuilt_ = false;
    Kernel selected_ = Kernel::automatic;
};

}  // namespace kestra
