// Written-out complex kernels of orders 0 to 3 and their table row. Included inside the
// namespace of each build, so every build carries its own copy of the same operations.

namespace small_complex {

constexpr float kSqrtHalf = 0.70710677f;

struct Cx {
  float re, im;
};
inline Cx Load(const float* p, int k) { return {p[2 * k], p[2 * k + 1]}; }
inline void Store(float* p, int k, Cx v) {
  p[2 * k] = v.re;
  p[2 * k + 1] = v.im;
}
inline Cx operator+(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }
inline Cx operator-(Cx a, Cx b) { return {a.re - b.re, a.im - b.im}; }
inline Cx Scaled(Cx a, float k) { return {a.re * k, a.im * k}; }

void Copy1(const float* s, float* d) { Store(d, 0, Load(s, 0)); }
void Scale1(const float* s, float* d, float k) { Store(d, 0, Scaled(Load(s, 0), k)); }

void Dft2(const float* s, float* d) {
  const Cx x0 = Load(s, 0), x1 = Load(s, 1);
  Store(d, 0, x0 + x1);
  Store(d, 1, x0 - x1);
}
void Dft2Scaled(const float* s, float* d, float k) {
  const Cx x0 = Load(s, 0), x1 = Load(s, 1);
  Store(d, 0, Scaled(x0 + x1, k));
  Store(d, 1, Scaled(x0 - x1, k));
}

// 4-point combination of the first-level terms a = x0 + x2, b = x0 - x2, p = x1 + x3,
// d = x1 - x3 into X0..X3.
struct Four {
  Cx x0, x1, x2, x3;
};
inline Four Combine4(Cx a, Cx b, Cx p, Cx d) {
  return {a + p, {b.re + d.im, b.im - d.re}, a - p, {b.re - d.im, b.im + d.re}};
}
inline Four Dft4Of(Cx x0, Cx x1, Cx x2, Cx x3, float k, bool scaled) {
  Cx a = x0 + x2, b = x0 - x2, p = x1 + x3, d = x1 - x3;
  if (scaled) a = Scaled(a, k), b = Scaled(b, k), p = Scaled(p, k), d = Scaled(d, k);
  return Combine4(a, b, p, d);
}

inline void Dft4(const float* s, float* d, float k, bool scaled) {
  const Four f = Dft4Of(Load(s, 0), Load(s, 1), Load(s, 2), Load(s, 3), k, scaled);
  Store(d, 0, f.x0);
  Store(d, 1, f.x1);
  Store(d, 2, f.x2);
  Store(d, 3, f.x3);
}
void Dft4Plain(const float* s, float* d) { Dft4(s, d, 1.0f, false); }
void Dft4Scaled(const float* s, float* d, float k) { Dft4(s, d, k, true); }

inline void Dft8(const float* s, float* d, float k, bool scaled) {
  const Four A = Dft4Of(Load(s, 0), Load(s, 2), Load(s, 4), Load(s, 6), k, scaled);
  const Four B = Dft4Of(Load(s, 1), Load(s, 3), Load(s, 5), Load(s, 7), k, scaled);
  const Cx t1{(B.x1.re + B.x1.im) * kSqrtHalf, (B.x1.im - B.x1.re) * kSqrtHalf};
  const Cx t3{(B.x3.re - B.x3.im) * -kSqrtHalf, (B.x3.im + B.x3.re) * -kSqrtHalf};
  Store(d, 0, A.x0 + B.x0);
  Store(d, 4, A.x0 - B.x0);
  Store(d, 1, A.x1 + t1);
  Store(d, 5, A.x1 - t1);
  Store(d, 2, {A.x2.re + B.x2.im, A.x2.im - B.x2.re});
  Store(d, 6, {A.x2.re - B.x2.im, A.x2.im + B.x2.re});
  Store(d, 3, A.x3 + t3);
  Store(d, 7, A.x3 - t3);
}
void Dft8Plain(const float* s, float* d) { Dft8(s, d, 1.0f, false); }
void Dft8Scaled(const float* s, float* d, float k) { Dft8(s, d, k, true); }

}  // namespace small_complex

const spFftSmallKernelRow spSmallComplexFftTable[1] = {
    {{small_complex::Copy1, small_complex::Dft2, small_complex::Dft4Plain,
      small_complex::Dft8Plain},
     {small_complex::Scale1, small_complex::Dft2Scaled, small_complex::Dft4Scaled,
      small_complex::Dft8Scaled}},
};
