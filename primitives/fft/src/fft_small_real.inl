// Written-out real kernels of orders 0 to 3 (forward and inverse) and their table rows.
// Included inside the namespace of each build, so every build carries its own copy of the
// same operations.

namespace small_real {

constexpr float kSqrtHalf = 0.70710677f;  // sqrt(1/2) in single precision
constexpr float kSqrtTwo = 1.4142135f;    // sqrt(2) in single precision

// Order 0 (both directions).
void Copy1(const float* s, float* d) { d[0] = s[0]; }
void Scale1(const float* s, float* d, float scale) { d[0] = scale * s[0]; }

// Order 1 (both directions).
void Real2(const float* s, float* d) {
  const float x0 = s[0], x1 = s[1];
  d[0] = x0 + x1;
  d[1] = x0 - x1;
}
void Real2Scaled(const float* s, float* d, float scale) {
  const float x0 = s[0], x1 = s[1];
  d[0] = (x0 + x1) * scale;
  d[1] = (x0 - x1) * scale;
}

// Order 2 forward from the first-level terms (x0 + x2, x3 + x1, x0 - x2, x3 - x1).
inline void Forward4(float s02, float s31, float d02, float d31, float* d) {
  d[0] = s02 + s31;
  d[1] = s02 - s31;
  d[2] = d02;
  d[3] = d31;
}
void Forward4Plain(const float* s, float* d) {
  Forward4(s[0] + s[2], s[3] + s[1], s[0] - s[2], s[3] - s[1], d);
}
void Forward4Scaled(const float* s, float* d, float k) {
  Forward4((s[0] + s[2]) * k, (s[3] + s[1]) * k, (s[0] - s[2]) * k, (s[3] - s[1]) * k, d);
}

// Order 3 forward from the first-level terms.
inline void Forward8(float s04, float a, float s26, float e, float s15, float d15, float s37,
                     float d37, float* d) {
  const float p = s04 + s26;
  const float q = s15 + s37;
  const float u = (d15 + d37) * -kSqrtHalf;
  const float v = (d15 - d37) * kSqrtHalf;
  d[0] = p + q;
  d[1] = p - q;
  d[2] = a + v;
  d[3] = u - e;
  d[4] = s04 - s26;
  d[5] = s37 - s15;
  d[6] = a - v;
  d[7] = e + u;
}
void Forward8Plain(const float* s, float* d) {
  Forward8(s[0] + s[4], s[0] - s[4], s[2] + s[6], s[2] - s[6], s[1] + s[5], s[1] - s[5],
           s[3] + s[7], s[3] - s[7], d);
}
void Forward8Scaled(const float* s, float* d, float k) {
  Forward8((s[0] + s[4]) * k, (s[0] - s[4]) * k, (s[2] + s[6]) * k, (s[2] - s[6]) * k,
           (s[1] + s[5]) * k, (s[1] - s[5]) * k, (s[3] + s[7]) * k, (s[3] - s[7]) * k, d);
}

// Order 2 inverse of (X0, X2, R1, I1) from (X0 + X2, X0 - X2, 2 R1, 2 I1).
inline void Inverse4(float s, float df, float r1, float i1, float* d) {
  d[0] = s + r1;
  d[1] = df - i1;
  d[2] = s - r1;
  d[3] = df + i1;
}
void Inverse4Plain(const float* s, float* d) {
  Inverse4(s[0] + s[1], s[0] - s[1], s[2] + s[2], s[3] + s[3], d);
}
void Inverse4Scaled(const float* s, float* d, float k) {
  Inverse4((s[0] + s[1]) * k, (s[0] - s[1]) * k, (s[2] + s[2]) * k, (s[3] + s[3]) * k, d);
}

// Order 3 inverse of (X0, X4, R1, I1, R2, I2, R3, I3) from its first-level terms.
inline void Inverse8(float s04, float d04, float r2, float i2, float sr, float di, float dr,
                     float si, float* d) {
  const float e0 = s04 + r2, e1 = s04 - r2;
  const float o0 = d04 - i2, o1 = d04 + i2;
  const float p = sr + sr, q = di + di;
  const float u = (dr + si) * -kSqrtTwo;
  const float v = (dr - si) * kSqrtTwo;
  d[0] = e0 + p;
  d[1] = o0 + v;
  d[2] = e1 - q;
  d[3] = o1 + u;
  d[4] = e0 - p;
  d[5] = o0 - v;
  d[6] = e1 + q;
  d[7] = o1 - u;
}
void Inverse8Plain(const float* s, float* d) {
  Inverse8(s[0] + s[1], s[0] - s[1], s[4] + s[4], s[5] + s[5], s[2] + s[6], s[3] - s[7],
           s[2] - s[6], s[3] + s[7], d);
}
void Inverse8Scaled(const float* s, float* d, float k) {
  Inverse8((s[0] + s[1]) * k, (s[0] - s[1]) * k, (s[4] + s[4]) * k, (s[5] + s[5]) * k,
           (s[2] + s[6]) * k, (s[3] - s[7]) * k, (s[2] - s[6]) * k, (s[3] + s[7]) * k, d);
}

}  // namespace small_real

const spFftSmallKernelRow spSmallRealFftTable[2] = {
    {{small_real::Copy1, small_real::Real2, small_real::Forward4Plain, small_real::Forward8Plain},
     {small_real::Scale1, small_real::Real2Scaled, small_real::Forward4Scaled,
      small_real::Forward8Scaled}},
    {{small_real::Copy1, small_real::Real2, small_real::Inverse4Plain, small_real::Inverse8Plain},
     {small_real::Scale1, small_real::Real2Scaled, small_real::Inverse4Scaled,
      small_real::Inverse8Scaled}},
};
