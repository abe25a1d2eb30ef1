// SLEEF's AVX2 and AVX-512 exponentials and logarithms over whole arrays, built in their
// own files with those instruction sets; call one only when the processor has its set.
#pragma once

namespace bench {

// Out[i] = f(In[i]) for n floats.
void SleefExpU10Avx2(const float* in, float* out, int n);
void SleefLogU10Avx2(const float* in, float* out, int n);
void SleefLogU35Avx2(const float* in, float* out, int n);
void SleefExpU10Avx512(const float* in, float* out, int n);
void SleefLogU10Avx512(const float* in, float* out, int n);
void SleefLogU35Avx512(const float* in, float* out, int n);

}  // namespace bench
