// Division over 4096 elements (float, double, complex float, complex double): every
// processor build side by side with the generic build (a plain loop where the library
// has no generic body) and libvolk. Each benchmark reports the largest error of its
// output over the inputs as the counter max_ulps: units in the last place for real
// quotients, norm-wise in units of epsilon for complex ones, against long double.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <random>

#include "sp/vecmath_bodies.h"
#include "bench_support.h"

#if HAVE_VOLK
#include "volk_support.h"
#endif

namespace {

constexpr int kLen = 4096;

using bench::Aligned;

// Dividends in [-1, 1], divisors of either sign with magnitudes from 0.01 to 100.
struct Buffers {
  float* d32 = Aligned<float>(2 * kLen);
  float* n32 = Aligned<float>(2 * kLen);
  float* o32 = Aligned<float>(2 * kLen);
  double* d64 = Aligned<double>(2 * kLen);
  double* n64 = Aligned<double>(2 * kLen);
  double* o64 = Aligned<double>(2 * kLen);
  Buffers() {
    std::mt19937 rng(38);
    std::uniform_real_distribution<double> u(-1.0, 1.0), e(-2.0, 2.0);
    for (int i = 0; i < 2 * kLen; ++i) {
      const double d = std::copysign(std::pow(10.0, e(rng)), u(rng));
      d64[i] = d;
      n64[i] = u(rng);
      d32[i] = static_cast<float>(d);
      n32[i] = static_cast<float>(n64[i]);
    }
  }
};

Buffers& buffers() {
  static Buffers b;
  return b;
}

template <class T>
long double Ulps(T got, long double exact) {
  const int e = std::ilogb(exact) + 1;
  return std::fabs(static_cast<long double>(got) - exact) / std::ldexp(1.0L, e - std::numeric_limits<T>::digits);
}

template <class T>
double MaxError(const T* d, const T* n, const T* o, bool complex) {
  long double worst = 0;
  for (int i = 0; i < kLen; ++i) {
    if (complex) {
      const std::complex<long double> q =
          std::complex<long double>(n[2 * i], n[2 * i + 1]) / std::complex<long double>(d[2 * i], d[2 * i + 1]);
      const std::complex<long double> g(o[2 * i], o[2 * i + 1]);
      worst = std::max(worst, std::abs(g - q) / std::abs(q) / std::numeric_limits<T>::epsilon());
    } else {
      worst = std::max(worst, Ulps(o[i], static_cast<long double>(n[i]) / d[i]));
    }
  }
  return static_cast<double>(worst);
}

template <class T, class Fn>
void run(benchmark::State& state, bool complex, Fn fn) {
  Buffers& b = buffers();
  T *d, *n, *o;
  if constexpr (sizeof(T) == 4) {
    d = b.d32, n = b.n32, o = b.o32;
  } else {
    d = b.d64, n = b.n64, o = b.o64;
  }
  for (auto _ : state) {
    fn(d, n, o);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kLen);
  state.counters["max_ulps"] = MaxError(d, n, o, complex);
}

#define SP_BENCH_DIVIDE(ns, feature)                                                               \
  void BM_Divide32f_##ns(benchmark::State& s) {                                                    \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                              \
    run<float>(s, false, [](float* d, float* n, float* o) { sp::ns::spDivide_32f(d, n, o, kLen); }); \
  }                                                                                                \
  void BM_Divide64f_##ns(benchmark::State& s) {                                                    \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                              \
    run<double>(s, false, [](double* d, double* n, double* o) { sp::ns::spDivideKernel_64f(d, n, o, kLen); }); \
  }                                                                                                \
  void BM_Divide32fc_##ns(benchmark::State& s) {                                                   \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                              \
    run<float>(s, true, [](float* d, float* n, float* o) { sp::ns::spDivideKernel_32fc(d, n, o, kLen); }); \
  }                                                                                                \
  void BM_Divide64fc_##ns(benchmark::State& s) {                                                   \
    if (!bench::CpuHas(feature)) return s.SkipWithError("build not supported");                              \
    run<double>(s, true, [](double* d, double* n, double* o) { sp::ns::spDivideKernel_64fc(d, n, o, kLen); }); \
  }                                                                                                \
  BENCHMARK(BM_Divide32f_##ns);                                                                    \
  BENCHMARK(BM_Divide64f_##ns);                                                                    \
  BENCHMARK(BM_Divide32fc_##ns);                                                                   \
  BENCHMARK(BM_Divide64fc_##ns);

// The generic build: the library's body for float, plain loops for the others.
void BM_Divide32f_generic(benchmark::State& s) {
  run<float>(s, false, [](float* d, float* n, float* o) { sp::generic::spDivide_32f(d, n, o, kLen); });
}
void BM_Divide64f_generic(benchmark::State& s) {
  run<double>(s, false, [](double* d, double* n, double* o) {
    for (int i = 0; i < kLen; ++i) o[i] = n[i] / d[i];
  });
}
template <class T>
void ComplexLoop(const T* d, const T* n, T* o) {
  for (int i = 0; i < kLen; ++i) {
    const T a = d[2 * i], b = d[2 * i + 1], c = n[2 * i], e = n[2 * i + 1];
    const T m = a * a + b * b;
    o[2 * i] = (a * c + e * b) / m;
    o[2 * i + 1] = (a * e - b * c) / m;
  }
}
void BM_Divide32fc_generic(benchmark::State& s) {
  run<float>(s, true, [](float* d, float* n, float* o) { ComplexLoop(d, n, o); });
}
void BM_Divide64fc_generic(benchmark::State& s) {
  run<double>(s, true, [](double* d, double* n, double* o) { ComplexLoop(d, n, o); });
}
BENCHMARK(BM_Divide32f_generic);
BENCHMARK(BM_Divide64f_generic);
BENCHMARK(BM_Divide32fc_generic);
BENCHMARK(BM_Divide64fc_generic);

SP_BENCH_DIVIDE(sse3, "sse3")
SP_BENCH_DIVIDE(ssse3, "ssse3")
SP_BENCH_DIVIDE(sse41, "sse4.1")

#if HAVE_VOLK
// libvolk computes its first source over its second.
void BM_Divide32f_volk(benchmark::State& s) {
  run<float>(s, false, [](float* d, float* n, float* o) { volk_32f_x2_divide_32f(o, n, d, kLen); });
}
void BM_Divide32f_volk_sse(benchmark::State& s) {
  run<float>(s, false, [](float* d, float* n, float* o) { volk_32f_x2_divide_32f_manual(o, n, d, kLen, "a_sse"); });
}
void BM_Divide32fc_volk(benchmark::State& s) {
  run<float>(s, true, [](float* d, float* n, float* o) {
    volk_32fc_x2_divide_32fc(reinterpret_cast<lv_32fc_t*>(o), reinterpret_cast<const lv_32fc_t*>(n),
                             reinterpret_cast<const lv_32fc_t*>(d), kLen);
  });
}
void BM_Divide32fc_volk_sse3(benchmark::State& s) {
  run<float>(s, true, [](float* d, float* n, float* o) {
    volk_32fc_x2_divide_32fc_manual(reinterpret_cast<lv_32fc_t*>(o), reinterpret_cast<const lv_32fc_t*>(n),
                                    reinterpret_cast<const lv_32fc_t*>(d), kLen, "a_sse3");
  });
}
BENCHMARK(BM_Divide32f_volk);
BENCHMARK(BM_Divide32f_volk_sse);
BENCHMARK(BM_Divide32fc_volk);
BENCHMARK(BM_Divide32fc_volk_sse3);

// Every implementation of each division this processor runs, named by its instruction set.
const bool kVolkRows = [] {
  bench::RegisterVolkImpls("BM_Divide32f", volk_32f_x2_divide_32f_get_func_desc(),
                           [](benchmark::State& s, const char* impl) {
                             run<float>(s, false, [impl](float* d, float* n, float* o) {
                               volk_32f_x2_divide_32f_manual(o, n, d, kLen, impl);
                             });
                           });
  bench::RegisterVolkImpls("BM_Divide32fc", volk_32fc_x2_divide_32fc_get_func_desc(),
                           [](benchmark::State& s, const char* impl) {
                             run<float>(s, true, [impl](float* d, float* n, float* o) {
                               volk_32fc_x2_divide_32fc_manual(reinterpret_cast<lv_32fc_t*>(o),
                                                               reinterpret_cast<const lv_32fc_t*>(n),
                                                               reinterpret_cast<const lv_32fc_t*>(d), kLen, impl);
                             });
                           });
  return true;
}();
#endif

}  // namespace

BENCHMARK_MAIN();
