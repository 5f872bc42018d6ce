#pragma once
// The one place the library makes its engine.

// Makes the engine from the built-in model on the device that drive_ai asks
// for, into the global `handle`, releasing the engine it replaces. Returns 0
// or the engine's code (CLSRETRI_ERR_...); on failure `handle` is null. The
// caller holds what keeps other users of `handle` out (Init's gate, or
// g_engine_mutex).
int engine_create();
