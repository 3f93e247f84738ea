// The kernel choice shared by the blur and the pixel passes: what automatic
// resolves to for each build, and that pinning a kernel the build or the
// processor lacks changes nothing; with and without an AVX-512 kernel.
#include <gtest/gtest.h>

#include "platform/cpu_features.h"

namespace kestra {
namespace {

enum class TestKernel { automatic, scalar, narrow, avx2, avx512 };

TEST(KernelChoice, ABuildWithoutVectorKernelsOffersOnlyScalar) {
    KernelChoice<TestKernel> choice{TestKernel::narrow, false, false};
    EXPECT_EQ(choice.active(), TestKernel::scalar);
    EXPECT_FALSE(choice.select(TestKernel::narrow));
    EXPECT_FALSE(choice.select(TestKernel::avx2));
    EXPECT_EQ(choice.active(), TestKernel::scalar);
    EXPECT_TRUE(choice.select(TestKernel::scalar));
    EXPECT_TRUE(choice.select(TestKernel::automatic));
}

TEST(KernelChoice, APinHoldsUntilResetAndAnUnavailablePinLeavesIt) {
    KernelChoice<TestKernel> choice{TestKernel::narrow, true, false};
    EXPECT_EQ(choice.active(), TestKernel::narrow);
    EXPECT_TRUE(choice.select(TestKernel::scalar));
    EXPECT_EQ(choice.active(), TestKernel::scalar);
    EXPECT_FALSE(choice.select(TestKernel::avx2));  // not built: the scalar pin stays
    EXPECT_EQ(choice.active(), TestKernel::scalar);
    choice.reset();
    EXPECT_EQ(choice.active(), TestKernel::narrow);
    EXPECT_TRUE(choice.select(TestKernel::scalar));
    EXPECT_TRUE(choice.select(TestKernel::automatic));
    EXPECT_EQ(choice.active(), TestKernel::narrow);
}

TEST(KernelChoice, AutomaticTakesAvx2ExactlyWhenTheProcessorHasIt) {
    KernelChoice<TestKernel> choice{TestKernel::narrow, true, true};
    EXPECT_EQ(choice.active(), cpuHasAvx2() ? TestKernel::avx2 : TestKernel::narrow);
    EXPECT_EQ(choice.select(TestKernel::avx2), cpuHasAvx2());
    EXPECT_TRUE(choice.select(TestKernel::narrow));
    EXPECT_EQ(choice.active(), TestKernel::narrow);
}

TEST(KernelChoice, WithoutAWideKernelItsValueIsNeverOffered) {
    KernelChoice<TestKernel> choice{TestKernel::narrow, true, true};
    EXPECT_FALSE(choice.select(TestKernel::avx512));
    EXPECT_NE(choice.active(), TestKernel::avx512);
}

TEST(KernelChoice, AutomaticTakesTheAvx512KernelExactlyWhenBuiltAndTheProcessorHasIt) {
    KernelChoice<TestKernel> built{TestKernel::narrow, true, true, TestKernel::avx512, true};
    EXPECT_EQ(built.active(), cpuHasAvx512() ? TestKernel::avx512
                              : cpuHasAvx2() ? TestKernel::avx2
                                             : TestKernel::narrow);
    EXPECT_EQ(built.select(TestKernel::avx512), cpuHasAvx512());
    EXPECT_TRUE(built.select(TestKernel::narrow));
    EXPECT_EQ(built.active(), TestKernel::narrow);
    built.reset();
    EXPECT_EQ(built.active() == TestKernel::avx512, cpuHasAvx512());

    KernelChoice<TestKernel> notBuilt{TestKernel::narrow, true, true, TestKernel::avx512, false};
    EXPECT_FALSE(notBuilt.select(TestKernel::avx512));
    EXPECT_EQ(notBuilt.active(), cpuHasAvx2() ? TestKernel::avx2 : TestKernel::narrow);
}

TEST(KernelChoice, AProcessorWithAvx512HasAvx2) {
    EXPECT_TRUE(!cpuHasAvx512() || cpuHasAvx2());
}

}  // namespace
}  // namespace kestra
