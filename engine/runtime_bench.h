#pragma once
// The engine's back ends measured on this machine: what `qxvisor bench` shows
// a technician on the board.
#include <string>

// First the thread count the engine's default would choose on this machine
// now, with the measurement behind it. Then loads the built-in model once per
// back end (XNNPACK's float32 and int8 plans, each on one thread and on every
// core, OpenCV's DNN on the
// processor and, where usable, on OpenCL), times `forwards` forward passes of
// a fixed 224 x 224 input each, and returns one line per back end: its name,
// threads and kernels, the load time and the median forward time in wall and
// in processor time (of the whole process) in milliseconds.
std::string CLSRETRI_RuntimeBench(int forwards);
