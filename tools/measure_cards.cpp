// vyrcardmeasure: the card path on rendered permit card scenes
// (tools/render_cards.py: <name>.jpg with a <name>.txt of key:value truth).
//
//   vyrcardmeasure --models DIR --scenes DIR [--scan-type 3] [--log] [--dump DIR]
//
// Each scene is scanned through vyrocr_scan_mat with the camera generation
// its truth names (the interface is initialised once per generation) and a
// fixed detect mode, so that the motion gate lets every frame through. The
// back-side reader is replaced by one that keeps the card and the line boxes
// it is handed. A scene counts as right when:
//
//   front  the scan returns 0 without reaching the back-side reader; the
//          record also says whether the face crop was taken, whether the
//          card crop is within 8 % of the card's size, and the tilt of the
//          title line on it (counted in "level" when within 1 degree);
//   back   the reader is reached, takes exactly three lines (widened, at
//          least 651 x 26, below 60 % of the card) and each holds one whole
//          OCR-B line.
//
// "level" counts the fronts whose face crop, card crop and title tilt pass.
// The side is also checked on its own: detect_card's side decision against
// the truth. Output: one "scene" record per scene, then "summary" records by
// camera and side (with the upside-down scenes counted apart) and "all".
// --dump writes, for every scene that is not right, the card the reader was
// handed with its line boxes (backs) or the card crop (fronts).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "card_detect.h"
#include "card_main.h"
#include "card_scenes.h"
#include "global.h"
#include "utils.h"
#include "vyr_log.h"
#include "vyrocr.h"

namespace {

FILE* g_out = stdout;

struct Captured {
  bool reached = false;
  cv::Mat card;
  std::vector<cv::Rect> lines;
} g_back;

int captureBack(cv::Mat& card, std::vector<cv::Rect>& lines, int) {
  g_back.reached = true;
  g_back.card = card.clone();
  g_back.lines = lines;
  return 0;
}

struct Tally {
  int scenes = 0, side = 0, right = 0, level = 0;
  std::vector<double> ms;
};

void summary(const char* tag, const Tally& t) {
  std::vector<double> ms = t.ms;
  std::sort(ms.begin(), ms.end());
  const double median = ms.empty() ? 0 : ms[ms.size() / 2];
  std::fprintf(g_out, "summary set=%s scenes=%d side=%d right=%d rate=%.4f level=%d ms_median=%.1f\n", tag, t.scenes,
               t.side, t.right, t.scenes ? static_cast<double>(t.right) / t.scenes : 0.0, t.level, median);
}

}  // namespace

int main(int argc, char** argv) {
  std::string models, scenesDir;
  int scanType = 3;
  bool keepLog = false;
  std::string dump;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--models" && i + 1 < argc)
      models = argv[++i];
    else if (a == "--scenes" && i + 1 < argc)
      scenesDir = argv[++i];
    else if (a == "--scan-type" && i + 1 < argc)
      scanType = std::atoi(argv[++i]);
    else if (a == "--log")
      keepLog = true;
    else if (a == "--dump" && i + 1 < argc)
      dump = argv[++i];
    else {
      std::fprintf(stderr, "usage: vyrcardmeasure --models DIR --scenes DIR [--scan-type 3] [--log] [--dump DIR]\n");
      return 2;
    }
  }
  const std::vector<cardfx::CardScene> scenes = cardfx::loadCardScenes(scenesDir);
  if (models.empty() || scenes.empty()) {
    std::fprintf(stderr, "vyrcardmeasure: no models directory or no scenes in %s\n", scenesDir.c_str());
    return 1;
  }
  if (!keepLog) {
    const int fd = ::dup(STDOUT_FILENO);
    FILE* out = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (out != nullptr && std::freopen("/dev/null", "w", stdout) != nullptr) g_out = out;
  }
  vyr_set_log_dummy(keepLog ? 0 : 1);
  setDebugShow(0);
  set_card_back_reader(captureBack);

  std::map<std::string, Tally> tallies;
  for (const char* camera : {"new", "old"}) {
    bool ready = false;
    for (const cardfx::CardScene& s : scenes) {
      if (s["camera"] != camera) continue;
      if (!ready) {
        const int rc = vyrocr_init(models.c_str(), "", std::strcmp(camera, "new") == 0 ? 1 : 0);
        if (rc != 0) {
          std::fprintf(stderr, "vyrcardmeasure: vyrocr_init(%s) = %d\n", models.c_str(), rc);
          return 1;
        }
        vyrocr_set_scan_type(scanType);
        setDetectMode(1);
        ready = true;
      }
      cv::Mat img = cv::imread(s.image(), cv::IMREAD_COLOR);
      if (img.empty()) continue;

      // The side decision alone (the frames are rendered 1600 columns wide).
      cv::Mat card;
      bool isfront = false;
      cv::Rect face;
      const int located = detect_card(img, card, isfront, face, isOldCamera());
      const bool sideRight = located == 0 && isfront == s.front();

      g_back = Captured();
      OCR_RESULT result;
      const double t0 = vyr_get_current_time();
      const int code = vyrocr_scan_mat(img, 0, result);
      const double ms = vyr_get_current_time() - t0;

      bool right = false;
      bool level = false;
      std::string detail;
      if (s.front()) {
        const double tilt = cardfx::titleTilt(g_cropimg, s);
        const cv::Size2f size = s.cardSize();
        const bool cropSize = !g_cropimg.empty() && std::fabs(g_cropimg.cols + 20 - size.width) < 0.08 * size.width &&
                              std::fabs(g_cropimg.rows + 20 - size.height) < 0.08 * size.height;
        right = code == 0 && !g_back.reached;
        level = right && !g_faceimg.empty() && cropSize && std::fabs(tilt) < 1.0;
        char buf[96];
        std::snprintf(buf, sizeof buf, "tilt=%.2f crop=%dx%d crop_ok=%d face=%d", tilt, g_cropimg.cols,
                      g_cropimg.rows, cropSize ? 1 : 0, g_faceimg.empty() ? 0 : 1);
        detail = buf;
      } else {
        const int held = g_back.reached ? cardfx::backLinesHeld(g_back.card, g_back.lines) : -2;
        right = code == 0 && held == 3;
        detail = "lines=" + std::to_string(g_back.lines.size()) + " held=" + std::to_string(held);
      }
      std::fprintf(g_out, "scene name=%s code=%d located=%d side=%d right=%d ms=%.1f %s\n", s.name.c_str(), code,
                   located, sideRight ? 1 : 0, right ? 1 : 0, ms, detail.c_str());
      if (!right && !dump.empty()) {
        const cv::Mat shown = g_back.reached ? drawLineRects(g_back.card, g_back.lines) : g_cropimg;
        if (!shown.empty()) cv::imwrite(dump + "/" + s.name + ".png", shown);
        if (g_back.reached) {
          cv::imwrite(dump + "/" + s.name + "_card.png", g_back.card);
          if (FILE* f = std::fopen((dump + "/" + s.name + "_lines.txt").c_str(), "w")) {
            for (const cv::Rect& r : g_back.lines) std::fprintf(f, "%d %d %d %d\n", r.x, r.y, r.width, r.height);
            std::fclose(f);
          }
        }
      }
      std::set<std::string> keys{std::string(camera) + "_" + s["side"], "all"};
      if (s["upside_down"] == "1") keys.insert(std::string(camera) + "_" + s["side"] + "_upside");
      for (const std::string& key : keys) {
        Tally& t = tallies[key];
        ++t.scenes;
        t.side += sideRight ? 1 : 0;
        t.right += right ? 1 : 0;
        t.level += level ? 1 : 0;
        t.ms.push_back(ms);
      }
    }
  }
  for (const auto& kv : tallies) summary(kv.first.c_str(), kv.second);
  vyrocr_unInit();
  return 0;
}
