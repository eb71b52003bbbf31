#pragma once

// Monotonic clock in seconds; only differences are meaningful.
double now_seconds();
