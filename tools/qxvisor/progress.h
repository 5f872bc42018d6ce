#pragma once
// A one-line progress bar on a terminal; silent when stderr is not one.
#include <string>

class Progress {
public:
    Progress(std::string label, size_t total);
    ~Progress();
    void step(size_t done);

private:
    std::string label_;
    size_t total_;
    bool shown_;
};
