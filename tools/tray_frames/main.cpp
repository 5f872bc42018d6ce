// qx_tray_frames PHOTO OUT_DIR X Y W H [COUNT]
// Writes COUNT (default 30) 640 x 480 frames OUT_DIR/000.jpg ... showing PHOTO
// stretched into the tray rectangle on a grey scale background, with a little
// sensor noise so that consecutive frames differ like a real camera's do.
// OUT_DIR is created (with its parents) when it does not exist yet.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: qx_tray_frames PHOTO OUT_DIR X Y W H [COUNT]\n");
        return 2;
    }
    cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "qx_tray_frames: cannot read %s\n", argv[1]);
        return 1;
    }
    cv::Rect tray(std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
    int count = argc > 7 ? std::atoi(argv[7]) : 30;
    if ((tray & cv::Rect(0, 0, 640, 480)) != tray || tray.area() == 0 || count < 1) {
        std::fprintf(stderr, "qx_tray_frames: the tray must lie inside 640 x 480\n");
        return 2;
    }
    std::error_code made;
    std::filesystem::create_directories(argv[2], made);
    if (made) {
        std::fprintf(stderr, "qx_tray_frames: cannot create %s: %s\n", argv[2], made.message().c_str());
        return 1;
    }
    cv::RNG rng(7);
    for (int i = 0; i < count; ++i) {
        cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(92, 96, 98));
        cv::rectangle(frame, tray, cv::Scalar(60, 60, 60), 6);
        cv::resize(photo, frame(tray), tray.size(), 0, 0, cv::INTER_AREA);
        cv::Mat noise(frame.size(), CV_8UC3);
        rng.fill(noise, cv::RNG::UNIFORM, 0, 3);
        frame += noise;
        char name[32];
        std::snprintf(name, sizeof name, "/%03d.jpg", i);
        if (!cv::imwrite(std::string(argv[2]) + name, frame)) {
            std::fprintf(stderr, "qx_tray_frames: cannot write into %s\n", argv[2]);
            return 1;
        }
    }
    return 0;
}
