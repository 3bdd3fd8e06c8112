#include "test.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "card_main.h"
#include "detect/centerface.h"
#include "gen_data.h"
#include "global.h"
#include "scrfd.h"
#include "test_ocr_result.h"
#include "vyr_crnn.h"
#include "vyr_log.h"
#include "vyrocr.h"

namespace fs = std::filesystem;

int g_camera = 1;
int g_check_ocr_result = -2;
int g_model_type = 0;
int g_test_card = 0;
int g_test_face = 0;
int stop_on_check_error = 0;
int g_use_gpu = 0;
char g_set_scan_type[20] = {0};
int total_count = 0;
int errcount = 0;
int info_error_cnt = 0;
int rotated_count = 0;

namespace {

const char* kModelsDir = "../models-release";
const char* kHeaderRule = "-----------------------------------------";  // 41 dashes

DriverScanFn g_scan_fn = nullptr;

const char* kUsage =
    "Usages: ./vyrocr -m0/-m1 -r -s0/-s1 [file]/[dir] \n"
    "-m: m0,old_camera, m1: new_camera \n"
    "-r: include_subdirectory \n"
    "-s0: no_debug_output, -s1 debug_output \n"
    "-c1: 台湾/香港来大陆通行证, -c2 去往台湾香港通行证 \n"
    "-en/-mrz/-cn/-gbk: 使用指定的字符集识别，输入为一行文本的图像 \n"
    "-gen: 护照识别成功后，将识别的字符分割保存成图片 \n"
    "-ai: 护照识别时强制使用ai算法 \n";

const char* kMenu[] = {" select scan_type from:", " 0: 自适应模式",     " 1: 护照模式",
                       " 3: 香港来内地模式",      " 4: 台湾来内地模式", " 7: 签证模式",
                       " 8: 外国人居留许可模式"};

const char* device_name() { return g_use_gpu == 1 ? "opencl" : ""; }

void print_header(const char* path) {
  std::printf("\n%s\n", kHeaderRule);
  std::puts(path);
  std::puts(kHeaderRule);
}

void wait_key() {
  if (!driver_can_show()) return;
  try {
    cv::waitKey(0);
  } catch (const cv::Exception&) {
  }
}

void show(const char* name, const cv::Mat& image) {
  if (!driver_can_show() || image.empty()) return;
  try {
    cv::imshow(name, image);
  } catch (const cv::Exception&) {
  }
}

// Everything after the last '/'.
std::string file_name_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Copies the file at `path` to "<root>/<directory name>/<file name>" without
// a shell, so names with blanks, quotes or ';' are copied, never run.
std::string copy_aside(const char* root, const char* path, bool announce) {
  std::string dir;
  if (get_last_subdir(path, dir) < 0) dir.clear();  // no directory part: straight into root
  const std::string target_dir = std::string(root) + "/" + dir;
  const std::string target = target_dir + "/" + file_name_of(path);
  std::error_code ec;
  fs::create_directories(target_dir, ec);
  if (ec) std::fprintf(stderr, "copy error: cannot create %s: %s\n", target_dir.c_str(), ec.message().c_str());
  if (announce) std::printf("write %s\n", target.c_str());
  std::error_code same_ec;
  if (fs::equivalent(path, target, same_ec)) return target;  // the walk met an earlier copy
  fs::copy_file(path, target, fs::copy_options::overwrite_existing, ec);
  if (ec) std::fprintf(stderr, "copy error: %s -> %s: %s\n", path, target.c_str(), ec.message().c_str());
  return target;
}

// The character that an MRZ line image in this directory must read as.
int expected_label_char(const char* path) {
  std::string dir;
  if (get_last_subdir(path, dir) < 0) return -1;
  if (dir.size() == 1 && ((dir[0] >= '0' && dir[0] <= '9') || (dir[0] >= 'A' && dir[0] <= 'Z'))) return dir[0];
  if (dir == "AA") return '<';
  return -1;
}

int single_line_test(cv::Mat& img, const char* path) {
  TextLine tl;
  switch (g_model_type) {
    case 1: {
      tl = crnn_extract_mrz(img, 'O');
      const int want = expected_label_char(path);
      const int r = (want >= 0 && tl.text.size() == 1 && tl.text[0] == want) ? 0 : -1;
      std::printf("[%s]\n", tl.text.c_str());
      return r;
    }
    case 2:
      tl = crnn_extract_cn(img);
      std::printf("[%s]\n", tl.text.c_str());
      return -1;
    case 3:
      tl = crnn_extract_gbk(img);
      std::printf("[%s]\n", tl.text.c_str());
      return -1;
    default:
      return -1;
  }
}

int face_test(cv::Mat& img) {
  std::vector<_s_face_info> faces;
  const int count = vyr_face_detect2(img, faces);
  cv::Mat showmat75 = img.clone();
  if (count > 0) {
    for (const _s_face_info& f : faces)
      cv::rectangle(showmat75, cv::Rect(f.x, f.y, f.width, f.height), cv::Scalar(0, 0, 255), 1, cv::LINE_8, 0);
  }
  show("face", showmat75);
  wait_key();
  return count;
}

int scan(cv::Mat& img, int camera, OCR_RESULT& result) {
  return g_scan_fn ? g_scan_fn(img, camera, result) : vyrocr_scan_mat(img, camera, result);
}

bool is_option(const char* a, const char* opt) { return std::strcmp(a, opt) == 0; }

void set_card_mode(int card_class) { cardMode(card_class); }

}  // namespace

void set_driver_scan_function(DriverScanFn fn) { g_scan_fn = fn; }

bool driver_can_show() {
  static const bool ok = [] {
    const char* qpa = std::getenv("QT_QPA_PLATFORM");
    // Offscreen windows never receive a key: waitKey(0) would block forever.
    if (qpa && (std::strcmp(qpa, "offscreen") == 0 || std::strcmp(qpa, "minimal") == 0)) return false;
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
  }();
  static bool told = false;
  if (!ok && !told && isDebugShow()) {
    told = true;
    std::puts("no display: debug windows and key waits are off");
  }
  return ok;
}

void reset_driver_state() {
  g_camera = 1;
  g_check_ocr_result = -2;
  g_model_type = 0;
  g_test_card = 0;
  g_test_face = 0;
  stop_on_check_error = 0;
  g_use_gpu = 0;
  g_set_scan_type[0] = '\0';
  total_count = 0;
  errcount = 0;
  info_error_cnt = 0;
  rotated_count = 0;
}

// ---- options ----------------------------------------------------------------------

void parse_args(int argc, char** argv, std::string& path, int& recursive) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (is_option(a, "-m0")) g_camera = 0;
    else if (is_option(a, "-m1")) g_camera = 1;
    else if (is_option(a, "-r")) recursive = 1;
    else if (is_option(a, "-s0")) setDebugShow(0);
    else if (is_option(a, "-s1")) setDebugShow(1);
    else if (is_option(a, "-d0")) vyr_set_log_dummy(1);
    else if (is_option(a, "-d1")) vyr_set_log_dummy(0);
    else if (is_option(a, "-c1")) set_card_mode(1);
    else if (is_option(a, "-c2")) set_card_mode(2);
    else if (is_option(a, "-cn")) g_model_type = 2;
    else if (is_option(a, "-en")) g_model_type = 0;
    else if (is_option(a, "-env3")) g_model_type = 4;
    else if (is_option(a, "-mrz")) g_model_type = 1;
    else if (is_option(a, "-gbk")) g_model_type = 3;
    else if (is_option(a, "-gen")) {
    } else if (is_option(a, "-ai")) {
    } else if (is_option(a, "-gpu")) g_use_gpu = 1;
    else if (is_option(a, "-nocheck")) g_check_ocr_result = -2;
    else if (is_option(a, "-check")) g_check_ocr_result = -1;
    else if (is_option(a, "-stop")) stop_on_check_error = 1;
    else if (is_option(a, "-det1")) setDetectMode(1);
    else if (is_option(a, "-det2")) setDetectMode(2);
    else if (is_option(a, "-det3")) setDetectMode(3);
    else if (std::strncmp(a, "-st", 3) == 0) {
      // The field holds 19 characters; a longer argument is cut there.
      std::snprintf(g_set_scan_type, sizeof g_set_scan_type, "%s", a);
    } else if (is_option(a, "-card")) g_test_card = 1;
    else if (is_option(a, "-face")) g_test_face = 1;
    else if (is_option(a, "-none")) g_scan_none = 1;
    else path = a;
  }
}

namespace {

// A whole decimal int, like atoi where it is one; false for anything else.
bool parse_int(const char* text, int& value) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

bool menu_type(int type) { return type == 0 || type == 1 || type == 3 || type == 4 || type == 7 || type == 8; }

}  // namespace

int set_scan_type(FILE* in) {
  const size_t n = strnlen(g_set_scan_type, sizeof g_set_scan_type);
  if (n >= 4) {
    // atoi's reading: the leading number, 0 without digits. A number beyond
    // int names no scan type either, and becomes 0 as well.
    errno = 0;
    const long v = std::strtol(g_set_scan_type + 3, nullptr, 10);
    vyrocr_set_scan_type(errno == ERANGE || v < INT_MIN || v > INT_MAX ? 0 : static_cast<int>(v));
    return 0;
  }
  if (n != 3) return 0;
  for (;;) {
    for (const char* line : kMenu) std::puts(line);
    std::fflush(stdout);
    char token[64];
    if (!in || std::fscanf(in, "%63s", token) != 1) {
      std::puts("no scan type read: standard input ended");
      return -1;
    }
    int type = 0;
    if (parse_int(token, type) && menu_type(type)) {
      vyrocr_set_scan_type(type);
      return 0;
    }
  }
}

void set_scan_type() { set_scan_type(stdin); }

int init(int camera) { return vyrocr_init(kModelsDir, device_name(), camera); }

int uninit() {
  vyrocr_unInit();
  return 0;
}

int remove_test_file() {
  FILE* fp = std::fopen("test_info.txt", "a");
  if (!fp) {
    std::printf("write result file error!");
    return -1;
  }
  std::fclose(fp);
  return 0;
}

// ---- walk ---------------------------------------------------------------------------

void get_extension(const char* path, std::string& out) {
  out.clear();
  if (!path) return;
  for (size_t i = std::strlen(path); i-- > 0;) {
    if (path[i] == '/') return;
    if (path[i] == '.') {
      for (const char* p = path + i + 1; *p; ++p)
        out.push_back((*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p);
      return;
    }
  }
}

bool is_image_extension(const char* path) {
  std::string ext;
  get_extension(path, ext);
  for (const char* e : {"png", "jpg", "bmp", "jpeg", "tiff", "webp"})
    if (ext == e) return true;
  return false;
}

int process_onefile(const char* path) {
  if (!is_image_extension(path)) return -1;
  print_header(path);
  main_process(path, 0);
  return 0;
}

void process_dir(const char* path, int recursive) {
  DIR* dir = opendir(path);
  if (!dir) return;
  if (DIR* out = opendir("output")) {
    closedir(out);
  } else {
    mkdir("output", 0777);
  }
  while (const dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (!std::strcmp(name, ".") || !std::strcmp(name, "..") || !std::strcmp(name, ".DS_Store")) continue;
    const std::string entry = std::string(path) + "/" + name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      // Some file systems do not report the type; ask for it, still without
      // following links.
      struct stat st;
      if (lstat(entry.c_str(), &st) == 0) type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
    }
    if (type == DT_DIR) {
      // A directory is walked even when its name looks like an image.
      if (recursive == 1) process_dir(entry.c_str(), 1);
    } else if (type == DT_REG && is_image_extension(entry.c_str())) {
      print_header(entry.c_str());
      main_process(entry.c_str(), 1);
    }
  }
  closedir(dir);
}

// ---- per-image run ------------------------------------------------------------------

int check_rotate_status() {
  if (get_rotate_status() == 1) {
    ++rotated_count;
    return 1;
  }
  return 0;
}

int main_process(const char* path, int in_dir) {
  clear_rotate_status();
  init_test_info_item();

  cv::Mat img;
  try {
    img = cv::imread(path, cv::IMREAD_COLOR);
  } catch (const cv::Exception&) {
    img.release();
  }
  if (img.empty()) {
    std::printf("%s is empty\n", path);
    return -1;
  }
  ++total_count;

  if (isDebugShow() && driver_can_show()) {
    const int h = static_cast<int>(static_cast<float>(img.rows) / static_cast<float>(img.cols) * 480.0f);
    if (h > 0) {  // a very wide image has no 480-pixel view
      cv::Mat showmat;
      cv::resize(img, showmat, cv::Size(480, h), 0, 0, cv::INTER_NEAREST);
      show("src", showmat);
    }
  }

  if (g_test_card == 1) return test_card(img);
  if (g_test_face == 1) return face_test(img);

  OCR_RESULT ocr_result{};  // a single-line test fills nothing: compare an empty record
  int r;
  if (g_model_type > 0 && img.rows <= 99) {
    r = single_line_test(img, path);
  } else {
    r = scan(img, g_camera, ocr_result);
    if (getDetectMode() == 0 && r < 0) {
      r = scan(img, g_camera, ocr_result);
      if (r < 0) r = scan(img, g_camera, ocr_result);
    }
  }

  append_test_info_item("执行结果: ", r);
  bool failed = r != 0;
  if (r == -1003) std::puts(">>> 证件不支持 <<<");
  if (!failed && g_check_ocr_result == 0) {
    if (check_ocr_by_read_ocr_info(ocr_result) != 0) {
      if (in_dir > 0) writeInfoErrorFile(img, path);
      ++info_error_cnt;
      std::puts(">>> 信息校验错误 <<<");
      r = -1111;
      append_test_info_item("信息校验失败", TEST_INFO_NO_VALUE);
      failed = true;
    } else {
      append_test_info_item("信息校验成功", TEST_INFO_NO_VALUE);
    }
  }
  std::puts("--------------------\n");
  if (failed) {
    if (in_dir > 0) writeOutputFile(img, path);
    ++errcount;
  }

  if (get_rotate_status() == 1) {
    ++rotated_count;
    append_test_info_item("字符行定位需要再次校正图片", TEST_INFO_NO_VALUE);
  }
  write_test_info(path);

  if (stop_on_check_error == 1) {
    if (r == -1111) wait_key();
  } else if (isDebugShow()) {
    wait_key();
  }
  return r;
}

// ---- copies ---------------------------------------------------------------------------

void writeOutputFile(cv::Mat& image, const char* path) {
  (void)image;
  copy_aside("output", path, false);
}

void writeInfoErrorFile(cv::Mat& image, const char* path) {
  (void)image;
  copy_aside("infoError", path, true);
}

// ---- entry ---------------------------------------------------------------------------

int driver_main(int argc, char** argv) {
  if (argc <= 1) {
    std::puts(kUsage);
    return 0;
  }
  setDebugShow(1);
  vyr_set_log_dummy(0);
  set_card_mode(1);

  std::string fn1;
  int recursive = 0;
  parse_args(argc, argv, fn1, recursive);
  // Without a display every debug window would abort the run and every key
  // wait would block it, in the library's stages as much as here.
  if (isDebugShow() && !driver_can_show()) setDebugShow(0);
  if (fn1.empty()) {
    std::puts("no filename given. ");
    return 0;
  }

  const int ret = vyrocr_init(kModelsDir, device_name(), g_camera);
  if (ret != 0) {
    std::printf("init fail %d, exit!\n", ret);
    return ret;
  }
  if (g_check_ocr_result != -2) g_check_ocr_result = init_check_ocr_1("./");
  remove_test_file();
  if (set_scan_type(stdin) != 0) {
    vyrocr_unInit();
    return 1;
  }

  int status = 0;
  struct stat st;
  if (stat(fn1.c_str(), &st) != 0) {
    std::fprintf(stderr, "cannot access %s: %s\n", fn1.c_str(), std::strerror(errno));
    status = 1;
  } else if (S_ISREG(st.st_mode)) {
    if (process_onefile(fn1.c_str()) != 0) {
      std::fprintf(stderr, "%s is not an image file (png, jpg, bmp, jpeg, tiff, webp)\n", fn1.c_str());
      status = 1;
    }
  } else {
    process_dir(fn1.c_str(), recursive);
  }

  std::printf(">>>> error/total = %d/%d <<<<\n", errcount, total_count);
  std::printf(">>>> info_error_cnt/total = %d/%d <<<<\n", info_error_cnt, total_count);
  std::printf(">>>> rotated_count/total = %d/%d <<<<\n", rotated_count, total_count);
  vyrocr_unInit();
  std::puts("end");
  return status;
}
