#pragma once
// Placeholder until the vector index lands.
namespace libhnsw {
class Index {
public:
    virtual ~Index() = default;
};
}  // namespace libhnsw
