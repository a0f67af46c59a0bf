// The camera: it follows the user aircraft from behind, and its matrices
// project world points into the window as the plugin's label drawing does.
#include <algorithm>
#include <cmath>

#include "host/HostState.h"

namespace velmir::host::detail {
namespace {

constexpr double kDeg = 180.0 / 3.14159265358979323846;

struct Vec {
    double x = 0, y = 0, z = 0;
};
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator*(Vec a, double k) { return {a.x * k, a.y * k, a.z * k}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

void Mul(const float m[16], const float v[4], float out[4]) {
    for (int i = 0; i < 4; ++i)
        out[i] = m[i] * v[0] + m[4 + i] * v[1] + m[8 + i] * v[2] + m[12 + i] * v[3];
}

}  // namespace

void UpdateCamera() {
    const double x = R("sim/flightmodel/position/local_x").d;
    const double y = R("sim/flightmodel/position/local_y").d;
    const double z = R("sim/flightmodel/position/local_z").d;
    const double psi = R("sim/flightmodel/position/psi").f / kDeg;
    const Vec f{std::sin(psi), 0, -std::cos(psi)};  // forward, horizontal
    const Vec r{std::cos(psi), 0, std::sin(psi)};   // right = forward x up
    const Vec u{0, 1, 0};
    const Vec eye = Vec{x, y, z} - f * 30.0 + Vec{0, 8, 0};

    DataRef& w = R("sim/graphics/view/world_matrix");
    const float view[16] = {float(r.x),          float(u.x),          float(-f.x),        0,
                            float(r.y),          float(u.y),          float(-f.y),        0,
                            float(r.z),          float(u.z),          float(-f.z),        0,
                            float(-Dot(r, eye)), float(-Dot(u, eye)), float(Dot(f, eye)), 1};
    std::copy(view, view + 16, w.vf.begin());

    const int width = R("sim/graphics/view/window_width").i;
    const int height = R("sim/graphics/view/window_height").i;
    const double aspect = height > 0 ? double(width) / height : 16.0 / 9.0;
    const double fovX = 75.0 / kDeg;
    const double fy = aspect / std::tan(fovX / 2);  // cot(fovY / 2)
    const double n = 1.0, far = 50000.0;
    DataRef& p = R("sim/graphics/view/projection_matrix_3d");
    std::fill(p.vf.begin(), p.vf.end(), 0.0f);
    p.vf[0] = float(fy / aspect);
    p.vf[5] = float(fy);
    p.vf[10] = float((far + n) / (n - far));
    p.vf[11] = -1.0f;
    p.vf[14] = float(2 * far * n / (n - far));
}

}  // namespace velmir::host::detail

namespace velmir::host {
using namespace detail;

ScreenPoint ProjectToWindow(double x, double y, double z) {
    const float* w = R("sim/graphics/view/world_matrix").vf.data();
    const float* p = R("sim/graphics/view/projection_matrix_3d").vf.data();
    const float pos[4] = {float(x), float(y), float(z), 1.0f};
    float eye[4], clip[4];
    Mul(w, pos, eye);
    Mul(p, eye, clip);
    ScreenPoint out;
    if (clip[3] == 0) return out;
    const float k = 1.0f / clip[3];
    out.x = (clip[0] * k * 0.5f + 0.5f) * float(R("sim/graphics/view/window_width").i);
    out.y = (clip[1] * k * 0.5f + 0.5f) * float(R("sim/graphics/view/window_height").i);
    out.depth = clip[2] * k;
    out.inFront = clip[3] > 0;
    return out;
}

}  // namespace velmir::host
