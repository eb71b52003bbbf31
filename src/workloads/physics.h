// The N-body gravity test: portable kernel and its constants.
#pragma once

#include <cstdint>

#include "workloads/workloads.h"

constexpr double kPhysicsDt = 0.0078125;  // 2^-7
constexpr double kPhysicsEps2 = 0.0625;   // softening added to every squared distance

// Runs `steps` time steps on `n` bodies in place and returns the bits of the
// velocity sum taken body by body as ((vx + vy) + vz) + S. Same arithmetic,
// in the same order, as qm_physics; only the final summation differs.
uint64_t qm_c_physics(Body* bodies, uint64_t n, uint64_t steps);
