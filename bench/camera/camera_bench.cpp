// What a recognition pays in the camera room before the engine sees a picture:
// copying the ring, measuring the crop of every slot, saving the pictures.
#include "camera/camhp.h"

#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

cv::Mat tray_frame(const char* photo) {
    cv::Mat picture = cv::imread(std::string(QX_SHARED_DIR) + "/data/grocery/train/" + photo, cv::IMREAD_COLOR);
    if (picture.empty()) throw std::runtime_error(std::string("missing photo ") + photo);
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(120, 120, 120));
    cv::Mat fitted;
    cv::resize(picture, fitted, cv::Size(340, 340), 0, 0, cv::INTER_AREA);
    fitted.copyTo(frame(cv::Rect(150, 70, 340, 340)));
    return frame;
}

// A context whose ring holds three real frames, as the capture thread leaves it.
struct FilledRing {
    _CAMHP_CAP_ cam;
    explicit FilledRing(bool save_image) {
        camhp_init(&cam);
        cv::Mat sharp = tray_frame("Fruit/Banana/Banana_001.jpg");
        cv::Mat soft;
        cv::GaussianBlur(sharp, soft, cv::Size(15, 15), 5.0);
        cam.frames[0] = soft;
        cam.frames[1] = sharp;
        cam.frames[2] = soft.clone();
        cam.x = 150;
        cam.y = 70;
        cam.width = 340;
        cam.height = 340;
        cam.save_image = save_image;
        cam.camera_opened = true;
        cam.capture_running = true;
    }
};

void BM_PickSharpest(benchmark::State& state) {
    FilledRing ring(false);
    const cv::Rect tray(150, 70, 340, 340);
    for (auto _ : state) benchmark::DoNotOptimize(camhp_pick_sharpest(ring.cam.frames, 3, tray, nullptr));
}
BENCHMARK(BM_PickSharpest)->Unit(benchmark::kMillisecond);

// The whole selection: three copies, three scores, the JPEG of the whole frame
// and, with save_image, of the crop.
void BM_ScaleBitmap(benchmark::State& state) {
    FilledRing ring(state.range(0) != 0);
    for (auto _ : state) {
        _CAMHP_IMAGE_ image;
        std::memset(&image, 0, sizeof image);
        benchmark::DoNotOptimize(camhp_get_scale_bitmap(&ring.cam, &image));
    }
}
BENCHMARK(BM_ScaleBitmap)->Arg(0)->Arg(1)->ArgName("save_image")->Unit(benchmark::kMillisecond);

// Filing a confirmed picture once the product folder holds its ten.
void BM_SaveCommodityPic(benchmark::State& state) {
    cv::imwrite("crop.jpg", tray_frame("Vegetables/Carrots/Carrots_001.jpg")(cv::Rect(150, 70, 340, 340)));
    _CAMHP_IMAGE_ image;
    std::memset(&image, 0, sizeof image);
    std::strcpy(image.commodity_code, "4011");
    std::strcpy(image.crop_path, "crop.jpg");
    for (int i = 0; i < 10; ++i) camhp_save_commodity_pic(&image);
    for (auto _ : state) camhp_save_commodity_pic(&image);
}
BENCHMARK(BM_SaveCommodityPic)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
