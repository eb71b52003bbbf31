// Physics kernels: the RAW routine and the portable twin against an
// independent model, the known two-body results and the run function.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/physics.h"

namespace {

using Bodies = std::vector<Body>;

// Reference simulation kept apart from the kernels' shape: all accelerations
// of a step are gathered first, then each body moves. Returns the velocity
// sums: RAW adds vx, vy, vz to S body by body, REAL adds ((vx + vy) + vz).
std::array<uint64_t, 2> model(Bodies& b, int steps) {
    const double dt = 1.0 / 128.0;
    for (int step = 0; step < steps; ++step) {
        std::vector<double> acc(3 * b.size(), 0.0);
        for (size_t i = 0; i < b.size(); ++i)
            for (const Body& o : b) {
                const double d[3] = {o.x - b[i].x, o.y - b[i].y, o.z - b[i].z};
                const double inv = 1.0 / std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2] + 0.0625);
                const double s = inv * inv * inv * o.m;
                for (int k = 0; k < 3; ++k) acc[3 * i + k] += d[k] * s;
            }
        for (size_t i = 0; i < b.size(); ++i) {
            b[i].vx += acc[3 * i] * dt;
            b[i].vy += acc[3 * i + 1] * dt;
            b[i].vz += acc[3 * i + 2] * dt;
            b[i].x += b[i].vx * dt;
            b[i].y += b[i].vy * dt;
            b[i].z += b[i].vz * dt;
        }
    }
    double raw = 0.0, real = 0.0;
    for (const Body& p : b) {
        raw = raw + p.vx + p.vy + p.vz;
        real = p.vx + p.vy + p.vz + real;
    }
    return {std::bit_cast<uint64_t>(raw), std::bit_cast<uint64_t>(real)};
}

bool same_bodies(const Body* got, const Bodies& want) {
    return std::memcmp(got, want.data(), want.size() * sizeof(Body)) == 0;
}

using Kernel = uint64_t (*)(Body*, uint64_t, uint64_t);
const Kernel kKernels[2] = {qm_physics, qm_c_physics};

TEST(PhysicsKernels, TrivialTwoBodyAndGeneralCases) {
    // Seven bodies in general positions; the reserved word carries a marker
    // that no kernel may touch.
    const double mk = -1234.5;
    const Bodies src = {
        {0.125, -0.75, 0.3, 0.9, 0.01, -0.02, 0.003, mk},  {-0.5, 0.25, -0.875, 0.2, -0.004, 0.0, 0.015, mk},
        {0.9, 0.6, 0.1, 0.55, 0.0, 0.007, -0.01, mk},      {-0.33, -0.41, 0.77, 0.31, 0.02, 0.02, 0.0, mk},
        {0.05, 0.95, -0.6, 0.73, -0.011, -0.003, 0.006, mk}, {-0.8, -0.05, 0.45, 0.12, 0.0, 0.0, 0.0, mk},
        {0.61, -0.29, -0.18, 0.999, 0.005, -0.009, 0.002, mk},
    };
    for (int suite = 0; suite < 2; ++suite) {
        SCOPED_TRACE(suite);
        Bodies b = src;
        EXPECT_EQ(0u, kKernels[suite](b.data(), 0, 5));
        EXPECT_EQ(0u, kKernels[suite](b.data(), b.size(), 0));
        EXPECT_TRUE(same_bodies(b.data(), src));

        // Two bodies a unit apart: equal masses pull each other with equal
        // and opposite velocities; masses 1 and 3 give a known sum.
        for (auto [m2, sum] : {std::pair{1.0, uint64_t{0}}, {3.0, uint64_t{0x3F8D37E9ADF377A3}}}) {
            Bodies two = {{0, 0, 0, 1, 0, 0, 0, 0}, {1, 0, 0, m2, 0, 0, 0, 0}}, want = two;
            model(want, 1);
            EXPECT_EQ(sum, kKernels[suite](two.data(), 2, 1));
            EXPECT_GT(two[0].vx, 0.0);
            EXPECT_TRUE(same_bodies(two.data(), want));
        }

        // Cases where the two summation orders happen to round differently,
        // so a suite that summed in the other's order would show.
        for (auto [n, steps] : {std::pair{3, 2}, {6, 3}, {7, 4}}) {
            SCOPED_TRACE(testing::Message() << n << " bodies, " << steps << " steps");
            Bodies want(src.begin(), src.begin() + n), got = want;
            const std::array<uint64_t, 2> sums = model(want, steps);
            EXPECT_EQ(sums[suite], kKernels[suite](got.data(), n, steps));
            EXPECT_NE(sums[0], sums[1]);
            EXPECT_TRUE(same_bodies(got.data(), want));
        }
    }
}

TEST(RunPhysics, SuitesMatchModelOnPreparedBodiesAndRepeat) {
    ensure_workloads();
    Workspace* ws = &g_ws[1];
    Bodies want(g_bodies_src, g_bodies_src + kBodyCount);
    const std::array<uint64_t, 2> sums = model(want, 2);
    EXPECT_NE(sums[0], sums[1]);
    for (int suite = 0; suite < 2; ++suite) {
        SCOPED_TRACE(suite);
        BackendScope scope(suite);
        std::memset(ws->bodies, 0x5A, kBodiesBytes);
        EXPECT_EQ(0u, run_physics(0, ws));
        EXPECT_EQ(0, std::memcmp(ws->bodies, g_bodies_src, kBodiesBytes));  // refreshed even so
        EXPECT_EQ(sums[suite], run_physics(2, ws));
        EXPECT_TRUE(same_bodies(ws->bodies, want));
        // The next call starts again from the source, not from the last call's bodies.
        EXPECT_EQ(sums[suite], run_physics(2, ws));
    }
}

}  // namespace
