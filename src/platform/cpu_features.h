// What the processor offers beyond the build's baseline, and the process-wide
// choice among a subsystem's pixel kernels that depends on it.
#pragma once

namespace kestra {

// Whether the processor runs AVX2 instructions; false where the compiler
// cannot ask (then no AVX2 kernel is built either).
bool cpuHasAvx2();

// The kernel choice of one subsystem whose kernels are named by `Kernel`
// { automatic, scalar, <a 128-bit kernel>, avx2 }. automatic runs the widest
// kernel the build and the processor offer; the others pin one, so that tests
// can compare them.
template <class Kernel>
class KernelChoice {
  public:
    // narrow is the 128-bit kernel; narrowBuilt and avx2Built say whether
    // this build compiled it and the AVX2 kernel.
    constexpr KernelChoice(Kernel narrow, bool narrowBuilt, bool avx2Built)
        : narrow_(narrow), narrowBuilt_(narrowBuilt), avx2Built_(avx2Built) {}

    // Pins `kernel` (automatic releases the pin); returns false, changing
    // nothing, when this build or processor lacks it.
    bool select(Kernel kernel) {
        const bool available = kernel == Kernel::automatic || kernel == Kernel::scalar ||
                               (kernel == narrow_ && narrowBuilt_) ||
                               (kernel == Kernel::avx2 && avx2Built_ && cpuHasAvx2());
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
    Kernel selected_ = Kernel::automatic;
};

}  // namespace kestra
