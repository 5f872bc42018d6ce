// The set-up page's log view: the newest lines of the day file the library
// writes, the library's Chinese messages with their English meaning beside them.
#include "qxvisor/serve.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

// The library logs everything at one level; these words mark the lines that
// report something going wrong.
bool warning_line(const std::string& line) {
    static const char* const words[] = {"fail", "Fail",   "refus",    "error",    "Error",
                                        "cannot", "not ", "失败", "没有找到", "没有设置", "未联网"};
    return std::any_of(std::begin(words), std::end(words), [&](const char* w) { return line.find(w) != std::string::npos; });
}

// The library's own Chinese messages by a part of their text, most particular
// first: the first part found in a line gives its meaning.
const std::pair<const char*, const char*> kMeanings[] = {
    {"没有设置摄像头剪辑坐标", "no crop rectangle set"},
    {"摄像头打开失败", "the camera could not be opened"},
    {"开始打开摄像头", "opening the camera"},
    {"结束打开摄像头", "camera opened"},
    {"摄像头的序号为", "camera number"},
    {"进入开启摄像头函数", "camera opening starts"},
    {"设定摄像头范围", "setting the camera's frame size"},
    {"准备获取图像", "about to take pictures"},
    {"开始获取图像", "taking pictures"},
    {"取图结束", "stopped taking pictures"},
    {"加速库初始化失败", "the recognition engine did not start"},
    {"图像加速库失败", "the recognition engine did not start"},
    {"加速库推理失败", "the recognition engine failed on the picture"},
    {"加速库初始化结果", "recognition engine start-up result"},
    {"加速库初始化成功", "recognition engine started"},
    {"图像加速库成功", "recognition engine started"},
    {"加速库耗时", "recognition engine time"},
    {"进入", "recognising"},
    {"初始化", "starting the recognition engine"},
    {"第一个向量大于0.9的置信度", "a sample above 0.9 similarity: its product goes first"},
    {"开始清除商品", "withdrawing a product's learned samples"},
    {"正在导入学习资料", "refused: learned data is being rebuilt"},
    {"设备未联网不再上传", "no cloud connection: nothing is uploaded"},
    {"上传失败", "upload failed"},
    {"没有找到", "not found"},
    {"释放资源开始", "closing the library"},
    {"释放资源结束", "library closed"},
};

// The line with the English meaning of the library's Chinese message after it.
std::string with_meaning(const std::string& line) {
    if (std::none_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) return line;
    for (const auto& [part, meaning] : kMeanings)
        if (line.find(part) != std::string::npos) return line + "  (" + meaning + ")";
    return line;
}

}  // namespace

std::string library_log(const std::string& state) { return json_string(state, "log_file"); }

std::vector<std::string> newest_lines(const std::string& path, size_t count, bool warnings_only) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(0, std::ios::end);
    std::streamoff size = file.tellg();
    std::streamoff start = std::max<std::streamoff>(0, size - (256 << 10));
    file.seekg(start);
    std::vector<std::string> lines;
    std::string line;
    if (start > 0) std::getline(file, line);  // a line cut by the start
    while (std::getline(file, line))
        if (!warnings_only || warning_line(line)) lines.push_back(with_meaning(line));
    std::reverse(lines.begin(), lines.end());
    if (lines.size() > count) lines.resize(count);
    return lines;
}
