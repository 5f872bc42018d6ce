#pragma once
// Makes a store file that another engine made this engine's own: every sample
// that still has a picture in pic_data gets its feature made again from it,
// the others are withdrawn, and the file as it was is kept aside first, as a
// copy that a scale running the other engine can import.
//
// Samples and pictures are tied only by their product: the picture store
// keeps the newest pictures of each product, filed as their samples were
// learned, and folder learning makes one sample per picture. So the newest
// samples of a product (by last write) take its newest pictures (by time of
// writing), one each; older samples, beyond the pictures, are the ones
// without a picture.
#include "engine/feature_producer.h"

#include <atomic>
#include <functional>
#include <string>

struct RECOMPUTE_RESULT {
    long long recomputed = 0;  // samples whose feature was made again
    long long kept_aside = 0;  // samples withdrawn, only in the aside copy
    std::string aside_copy;    // its file name in the working folder
};

struct RECOMPUTE_HOOKS {
    std::function<bool()> cancelled;          // asked before every picture
    std::atomic<long long>* done = nullptr;   // counts the samples made again, as they are
};

enum class Recomputed { kDone, kCancelled };

// Works on `work`, a private copy of a store, in one transaction, and records
// `engine` as its producer. Throws CppSQLite3Exception or std::runtime_error
// (the engine failed on a picture, no aside copy could be written); `work` is
// then as it was, apart from what a cancel leaves: also unchanged.
Recomputed recompute_store(const std::string& work, const CLSRETRI_PRODUCER& engine, const RECOMPUTE_HOOKS& hooks,
                           RECOMPUTE_RESULT& result);
