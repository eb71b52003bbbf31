// Physics: softened direct-sum gravity, one velocity phase over all ordered
// pairs and one semi-implicit Euler integration phase per step.
#include <cmath>
#include <cstring>

#include "workloads/kernels.h"

uint64_t qm_c_physics(Body* bodies, uint64_t n, uint64_t steps) {
    if (n == 0 || steps == 0) return 0;
    for (uint64_t step = 0; step < steps; ++step) {
        // Velocity phase: reads only positions and masses, so each body's
        // velocity can be stored as soon as its sum is complete.
        for (uint64_t i = 0; i < n; ++i) {
            const double xi = bodies[i].x, yi = bodies[i].y, zi = bodies[i].z;
            double ax = 0.0, ay = 0.0, az = 0.0;
            for (uint64_t j = 0; j < n; ++j) {
                const Body& b = bodies[j];
                const double dx = b.x - xi;
                const double dy = b.y - yi;
                const double dz = b.z - zi;
                const double r2 = ((dx * dx + dy * dy) + dz * dz) + kPhysicsEps2;
                const double inv = 1.0 / std::sqrt(r2);
                const double s = ((inv * inv) * inv) * b.m;
                ax = ax + dx * s;
                ay = ay + dy * s;
                az = az + dz * s;
            }
            bodies[i].vx = bodies[i].vx + ax * kPhysicsDt;
            bodies[i].vy = bodies[i].vy + ay * kPhysicsDt;
            bodies[i].vz = bodies[i].vz + az * kPhysicsDt;
        }
        for (uint64_t i = 0; i < n; ++i) {
            Body& b = bodies[i];
            b.x = b.x + b.vx * kPhysicsDt;
            b.y = b.y + b.vy * kPhysicsDt;
            b.z = b.z + b.vz * kPhysicsDt;
        }
    }
    double sum = 0.0;
    for (uint64_t i = 0; i < n; ++i) sum = ((bodies[i].vx + bodies[i].vy) + bodies[i].vz) + sum;
    uint64_t bits;
    std::memcpy(&bits, &sum, sizeof bits);
    return bits;
}

uint64_t run_physics(uint64_t iterations, Workspace* ws) {
    // Every call starts from the same bodies, whatever the last call left.
    std::memcpy(ws->bodies, g_bodies_src, kBodiesBytes);
    if (g_c_backend != 1) return qm_physics(ws->bodies, kBodyCount, iterations);
    if (iterations == 0) return 0;
    return qm_c_physics(ws->bodies, kBodyCount, iterations);
}
