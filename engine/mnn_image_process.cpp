// The runtime layer's image converter and its point-mapping matrix.
#include "engine/mnn_runtime.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace MNN {
namespace CV {

void Matrix::setIdentity() {
    static const float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::memcpy(m_, identity, sizeof m_);
}

void Matrix::setScale(float sx, float sy) {
    setIdentity();
    m_[0] = sx;
    m_[4] = sy;
}

void Matrix::postScale(float sx, float sy) {
    const float scale[9] = {sx, 0, 0, 0, sy, 0, 0, 0, 1};
    postConcat(scale);
}

void Matrix::postScale(float sx, float sy, float px, float py) {
    // Scaling about a pivot: move the pivot to the origin, scale, move back.
    const float scale[9] = {sx, 0, px - sx * px, 0, sy, py - sy * py, 0, 0, 1};
    postConcat(scale);
}

void Matrix::postConcat(const float other[9]) {
    float result[9];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            result[r * 3 + c] = other[r * 3] * m_[c] + other[r * 3 + 1] * m_[3 + c] + other[r * 3 + 2] * m_[6 + c];
    std::memcpy(m_, result, sizeof m_);
}

Point Matrix::mapXY(float x, float y) const {
    float px = m_[0] * x + m_[1] * y + m_[2];
    float py = m_[3] * x + m_[4] * y + m_[5];
    const float w = m_[6] * x + m_[7] * y + m_[8];
    if (w != 1.0f && w != 0.0f) {
        px /= w;
        py /= w;
    }
    return {px, py};
}

namespace {

int channels_of(ImageFormat format) {
    switch (format) {
    case RGBA:
    case BGRA: return 4;
    case RGB:
    case BGR: return 3;
    case GRAY: return 1;
    }
    return 0;
}

// Sampling coordinates far outside any picture (or not numbers, from a
// degenerate matrix) are pinned well outside it instead of overflowing an int.
int pixel_index(float v) {
    if (v >= -1.0e8f && v <= 1.0e8f) return static_cast<int>(v);
    return v > 0 ? 100000000 : -100000000;
}

struct Rgba {
    float r, g, b, a;
};

Rgba read_pixel(const uint8_t* p, ImageFormat format) {
    switch (format) {
    case RGBA: return {float(p[0]), float(p[1]), float(p[2]), float(p[3])};
    case BGRA: return {float(p[2]), float(p[1]), float(p[0]), float(p[3])};
    case RGB: return {float(p[0]), float(p[1]), float(p[2]), 255.0f};
    case BGR: return {float(p[2]), float(p[1]), float(p[0]), 255.0f};
    case GRAY: return {float(p[0]), float(p[0]), float(p[0]), 255.0f};
    }
    return {0, 0, 0, 0};
}

// Destination channel values of one pixel, in the destination format's order.
int write_pixel(const Rgba& c, ImageFormat source, ImageFormat dest, float out[4]) {
    switch (dest) {
    case RGBA: out[0] = c.r, out[1] = c.g, out[2] = c.b, out[3] = c.a; return 4;
    case BGRA: out[0] = c.b, out[1] = c.g, out[2] = c.r, out[3] = c.a; return 4;
    case RGB: out[0] = c.r, out[1] = c.g, out[2] = c.b; return 3;
    case BGR: out[0] = c.b, out[1] = c.g, out[2] = c.r; return 3;
    case GRAY: out[0] = source == GRAY ? c.r : 0.299f * c.r + 0.587f * c.g + 0.114f * c.b; return 1;
    }
    return 0;
}

// The source picture as the converter samples it: pixel (x, y), or the
// nearest edge pixel outside it (transparent black with the ZERO wrap).
struct Source {
    const uint8_t* data;
    int width, height;
    size_t row_bytes;
    int channels;
    ImageFormat format;
    bool zero_outside;

    Rgba fetch(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) {
            if (zero_outside) return {0, 0, 0, 0};
            x = std::clamp(x, 0, width - 1);
            y = std::clamp(y, 0, height - 1);
        }
        return read_pixel(data + static_cast<size_t>(y) * row_bytes + static_cast<size_t>(x) * channels, format);
    }

    Rgba nearest(Point p) const { return fetch(pixel_index(std::floor(p.fX + 0.5f)), pixel_index(std::floor(p.fY + 0.5f))); }

    Rgba bilinear(Point p) const {
        const float fx0 = std::floor(p.fX), fy0 = std::floor(p.fY);
        const float ax = p.fX - fx0, ay = p.fY - fy0;
        const int x0 = pixel_index(fx0), y0 = pixel_index(fy0);
        const Rgba q[4] = {fetch(x0, y0), fetch(x0 + 1, y0), fetch(x0, y0 + 1), fetch(x0 + 1, y0 + 1)};
        auto mix = [&](float Rgba::*c) {
            const float top = q[0].*c + (q[1].*c - q[0].*c) * ax;
            const float bottom = q[2].*c + (q[3].*c - q[2].*c) * ax;
            return top + (bottom - top) * ay;
        };
        return {mix(&Rgba::r), mix(&Rgba::g), mix(&Rgba::b), mix(&Rgba::a)};
    }
};

}  // namespace

ImageProcess* ImageProcess::create(const Config& config, const Tensor*) {
    if (!channels_of(config.sourceFormat) || !channels_of(config.destFormat)) return nullptr;
    return new ImageProcess(config);
}

void ImageProcess::destroy(ImageProcess* process) { delete process; }

ErrorCode ImageProcess::convert(const uint8_t* source, int iw, int ih, int stride, Tensor* dest) {
    if (!source || iw <= 0 || ih <= 0 || !dest || !dest->host<float>()) return INVALID_VALUE;
    const int src_channels = channels_of(config_.sourceFormat);
    const size_t row_bytes = stride > 0 ? static_cast<size_t>(stride) : static_cast<size_t>(iw) * src_channels;
    if (row_bytes < static_cast<size_t>(iw) * src_channels) return INVALID_VALUE;
    const std::vector<int> shape = dest->shape();
    if (shape.size() != 4 || dest->getType() != halide_type_t(halide_type_float, 32)) return NOT_SUPPORT;
    const bool nhwc = dest->getDimensionType() == Tensor::TENSORFLOW;
    const int channels = nhwc ? shape[3] : shape[1];
    const int height = nhwc ? shape[1] : shape[2];
    const int width = nhwc ? shape[2] : shape[3];
    if (channels != channels_of(config_.destFormat)) return NOT_SUPPORT;

    const Source picture{source, iw, ih, row_bytes, src_channels, config_.sourceFormat, config_.wrap == ZERO};
    float* out = dest->host<float>();
    const size_t plane = static_cast<size_t>(height) * width;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Point p = matrix_.mapXY(static_cast<float>(x), static_cast<float>(y));
            const Rgba pixel = config_.filterType == BILINEAR ? picture.bilinear(p) : picture.nearest(p);
            float values[4];
            write_pixel(pixel, config_.sourceFormat, config_.destFormat, values);
            const size_t at = static_cast<size_t>(y) * width + x;
            for (int c = 0; c < channels; ++c) {
                const float v = (values[c] - config_.mean[c]) * config_.normal[c];
                if (nhwc)
                    out[at * channels + c] = v;
                else
                    out[c * plane + at] = v;
            }
        }
    }
    return NO_ERROR;
}

}  // namespace CV
}  // namespace MNN
