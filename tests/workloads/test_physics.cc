// Physics kernels: the RAW routine and the portable twin against an
// independent model, the known two-body results and the run function.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "workloads/kernels.h"
#include "workloads/physics.h"
#include "workloads/workload_env.h"

namespace {

uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Reference simulation kept apart from the kernels' shape: all accelerations
// of a step are gathered first, then every velocity, then every position.
struct Model {
    std::vector<Body> bodies;

    void step() {
        const size_t n = bodies.size();
        std::vector<double> acc(3 * n);
        for (size_t i = 0; i < n; ++i) {
            double a[3] = {0.0, 0.0, 0.0};
            for (size_t j = 0; j < n; ++j) {
                double d[3] = {bodies[j].x - bodies[i].x, bodies[j].y - bodies[i].y,
                               bodies[j].z - bodies[i].z};
                double r2 = d[0] * d[0];
                r2 = r2 + d[1] * d[1];
                r2 = r2 + d[2] * d[2];
                r2 = r2 + 0.0625;
                double root = std::sqrt(r2);
                double inv = 1.0 / root;
                double s = inv * inv;
                s = s * inv;
                s = s * bodies[j].m;
                for (int k = 0; k < 3; ++k) a[k] = a[k] + d[k] * s;
            }
            for (int k = 0; k < 3; ++k) acc[3 * i + k] = a[k];
        }
        const double dt = 1.0 / 128.0;
        for (size_t i = 0; i < n; ++i) {
            bodies[i].vx = bodies[i].vx + acc[3 * i] * dt;
            bodies[i].vy = bodies[i].vy + acc[3 * i + 1] * dt;
            bodies[i].vz = bodies[i].vz + acc[3 * i + 2] * dt;
        }
        for (Body& b : bodies) {
            b.x = b.x + b.vx * dt;
            b.y = b.y + b.vy * dt;
            b.z = b.z + b.vz * dt;
        }
    }

    uint64_t raw_sum() const {
        double s = 0.0;
        for (const Body& b : bodies) {
            s = s + b.vx;
            s = s + b.vy;
            s = s + b.vz;
        }
        return bits_of(s);
    }

    uint64_t real_sum() const {
        double s = 0.0;
        for (const Body& b : bodies) s = ((b.vx + b.vy) + b.vz) + s;
        return bits_of(s);
    }
};

Model run_model(const Body* src, size_t n, int steps) {
    Model m{std::vector<Body>(src, src + n)};
    for (int s = 0; s < steps; ++s) m.step();
    return m;
}

void expect_same_bodies(const Body* got, const Body* want, size_t n) {
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(0, std::memcmp(&got[i], &want[i], sizeof(Body))) << "body " << i;
}

Body at_x(double x, double m) { return Body{x, 0.0, 0.0, m, 0.0, 0.0, 0.0, 0.0}; }

// Seven bodies in general positions with non-zero starting velocities; the
// reserved word carries a marker that no kernel may touch.
std::vector<Body> scattered_bodies() {
    const double marker = -1234.5;
    return {
        {0.125, -0.75, 0.3, 0.9, 0.01, -0.02, 0.003, marker},
        {-0.5, 0.25, -0.875, 0.2, -0.004, 0.0, 0.015, marker},
        {0.9, 0.6, 0.1, 0.55, 0.0, 0.007, -0.01, marker},
        {-0.33, -0.41, 0.77, 0.31, 0.02, 0.02, 0.0, marker},
        {0.05, 0.95, -0.6, 0.73, -0.011, -0.003, 0.006, marker},
        {-0.8, -0.05, 0.45, 0.12, 0.0, 0.0, 0.0, marker},
        {0.61, -0.29, -0.18, 0.999, 0.005, -0.009, 0.002, marker},
    };
}

TEST(PhysicsKernels, NoBodiesOrNoStepsReturnZeroAndLeaveBodies) {
    std::vector<Body> b = scattered_bodies();
    const std::vector<Body> before = b;
    EXPECT_EQ(0u, qm_physics(b.data(), 0, 5));
    EXPECT_EQ(0u, qm_c_physics(b.data(), 0, 5));
    EXPECT_EQ(0u, qm_physics(b.data(), b.size(), 0));
    EXPECT_EQ(0u, qm_c_physics(b.data(), b.size(), 0));
    expect_same_bodies(b.data(), before.data(), b.size());
    EXPECT_EQ(0u, qm_physics(nullptr, 0, 3));
}

TEST(PhysicsKernels, EqualMassesGiveOppositeVelocitiesAndZeroSum) {
    for (int suite = 0; suite < 2; ++suite) {
        Body b[2] = {at_x(0.0, 1.0), at_x(1.0, 1.0)};
        const uint64_t sum = suite == 0 ? qm_physics(b, 2, 1) : qm_c_physics(b, 2, 1);
        EXPECT_EQ(0u, sum) << "suite " << suite;
        EXPECT_GT(b[0].vx, 0.0);
        EXPECT_EQ(b[0].vx, -b[1].vx);
    }
}

TEST(PhysicsKernels, MassesOneAndThreeGiveKnownVelocities) {
    for (int suite = 0; suite < 2; ++suite) {
        Body b[2] = {at_x(0.0, 1.0), at_x(1.0, 3.0)};
        const uint64_t sum = suite == 0 ? qm_physics(b, 2, 1) : qm_c_physics(b, 2, 1);
        EXPECT_EQ(0x3F8D37E9ADF377A3u, sum) << "suite " << suite;
        EXPECT_EQ(0.021400202209088205, b[0].vx);
        EXPECT_EQ(-0.0071334007363627345, b[1].vx);
        EXPECT_EQ(0.0, b[0].vy);
        EXPECT_EQ(0.0, b[1].vz);
    }
}

TEST(PhysicsKernels, GeneralBodiesMatchModelInEachSummationOrder) {
    const std::vector<Body> src = scattered_bodies();
    // Cases where the two summation orders happen to round differently, so a
    // suite that summed in the other's order would show.
    const struct {
        size_t n;
        int steps;
    } cases[] = {{3, 2}, {6, 3}, {7, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " bodies, " << c.steps << " steps");
        const Model want = run_model(src.data(), c.n, c.steps);
        std::vector<Body> raw(src.begin(), src.begin() + c.n), real = raw;
        const uint64_t raw_sum = qm_physics(raw.data(), c.n, c.steps);
        const uint64_t real_sum = qm_c_physics(real.data(), c.n, c.steps);
        EXPECT_EQ(want.raw_sum(), raw_sum);
        EXPECT_EQ(want.real_sum(), real_sum);
        EXPECT_NE(raw_sum, real_sum);
        expect_same_bodies(raw.data(), want.bodies.data(), c.n);
        expect_same_bodies(real.data(), want.bodies.data(), c.n);
    }
}

TEST(RunPhysics, ZeroIterationsReturnZeroAndRefreshBodies) {
    ensure_workloads();
    Workspace* ws = &g_ws[0];
    for (int suite = 0; suite < 2; ++suite) {
        BackendScope scope(suite);
        std::memset(ws->bodies, 0x5A, kBodiesBytes);
        EXPECT_EQ(0u, run_physics(0, ws)) << "suite " << suite;
        EXPECT_EQ(0, std::memcmp(ws->bodies, g_bodies_src, kBodiesBytes));
    }
}

TEST(RunPhysics, SuitesMatchModelOnPreparedBodiesAndRepeat) {
    ensure_workloads();
    Workspace* ws = &g_ws[1];
    const Model want = run_model(g_bodies_src, kBodyCount, 2);
    uint64_t sums[2];
    for (int suite = 0; suite < 2; ++suite) {
        BackendScope scope(suite);
        sums[suite] = run_physics(2, ws);
        expect_same_bodies(ws->bodies, want.bodies.data(), kBodyCount);
        // The second call starts again from the source, not from the bodies
        // the first call left behind.
        EXPECT_EQ(sums[suite], run_physics(2, ws)) << "suite " << suite;
    }
    EXPECT_EQ(want.raw_sum(), sums[0]);
    EXPECT_EQ(want.real_sum(), sums[1]);
    EXPECT_NE(sums[0], sums[1]);
    EXPECT_NE(0u, sums[0]);
}

}  // namespace
