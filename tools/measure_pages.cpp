// vyrmeasure: reading accuracy and speed of a models directory on rendered
// pages (tools/render_pages.py: <name>.png with a <name>.txt of key:value
// truth lines).
//
//   vyrmeasure --models DIR --pages DIR [--modes 0,1,auto] [--limit N]
//              [--scan-type 1] [--camera 1] [--quiet-fails] [--log]
//              [--visa-readings]
//
// Each page is scanned through vyrocr_scan_mat in each detect mode asked for:
// "0" (geometry, fixed), "1" (text detector, fixed) and "auto" (the mode
// alternates and a failed scan is retried up to twice, as the test driver
// does). Three readers are scored on the same pages:
//
//   full   the scan's result record: code 0, the MRZ text and the fields;
//   match  template matching alone: the reader's matching passes run again
//          on the segmented lines the scan handed over, without re-reading;
//   rec    the MRZ recogniser alone: each handed-over colour line read whole.
//
// Output, one record per line, space-separated key=value items after a tag:
//
//   page name=.. mode=.. code=.. ms=.. located=0|1 full=0|1 full_l1=.. full_l2=..
//        match=.. match_l1=.. match_l2=.. rec=.. rec_l1=.. rec_l2=..
//   fail name=.. mode=.. reader=full|match|rec line=1|2 want=.. got=..
//   fail name=.. mode=.. reader=full fields code=..   (lines right, a field not)
//   summary mode=.. pages=.. located=.. full_doc=.. full_line=.. full_char=..
//        match_doc=.. match_line=.. match_char=.. rec_doc=.. rec_line=.. rec_char=..
//        ms_mean=.. ms_median=.. ms_p95=.. ms_max=..
//   codes mode=.. <code>=<count> ...
//   visa name=.. mode=.. layout=.. add_id=.. want_add_id=.. category=.. want_category=..
//   visa_summary mode=.. pages=.. both_exact=.. add_id_exact=.. add_id_empty=.. add_id_wrong=..
//        category_exact=.. category_wrong=..   (Chinese visa pages, kind visa_chn)
//   reading name=.. mode=.. item=.. alphabet=.. text=.. want=.. exact=.. min_score=.. scores=..
//        (with --visa-readings: each recogniser reading of a visa item crop)
//
// In "auto" mode, match and rec score the lines of the last attempt that
// reached the reader. The scan type is 1 (passport path) unless --scan-type
// says otherwise. Rates are fractions of all pages (a page whose lines were
// not found counts as misread by every reader). The library's own log is
// muted unless --log is given (then all of it, detail included, is
// interleaved with the records on standard output).
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "matchocr.h"
#include "passport_visa.h"
#include "result.h"
#include "scan_utils.h"
#include "vyr_log.h"
#include "vyrocr.h"

namespace {

// The records; the library's own log goes to standard output, which is
// muted unless --log is given.
FILE* g_out = stdout;
// --visa-readings: every recogniser reading of a Chinese visa's items.
bool g_visaReadings = false;

struct Page {
  std::string name;
  std::string png;
  std::map<std::string, std::string> truth;
  std::string get(const std::string& k) const {
    auto it = truth.find(k);
    return it == truth.end() ? std::string() : it->second;
  }
};

struct Score {
  bool doc = false;
  bool line[2] = {false, false};
  int charErrors = 0;
  int chars = 0;
};

struct Tally {
  int pages = 0;
  int located = 0;
  int doc[3] = {0, 0, 0};
  int lines[3] = {0, 0, 0};
  long charErrors[3] = {0, 0, 0};
  long chars[3] = {0, 0, 0};
  std::vector<double> ms;
  std::map<int, int> codes;
  // Chinese visa pages (kind visa_chn): the printed number and category.
  int visaPages = 0;
  int visaBoth = 0;
  int addIdExact = 0, addIdEmpty = 0, addIdWrong = 0;
  int categoryExact = 0, categoryWrong = 0;
};

std::vector<Page> loadPages(const std::string& dir, int limit) {
  std::vector<Page> pages;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return pages;
  while (dirent* e = ::readdir(d)) {
    const std::string f = e->d_name;
    if (f.size() < 5 || f.compare(f.size() - 4, 4, ".txt") != 0) continue;
    Page p;
    p.name = f.substr(0, f.size() - 4);
    p.png = dir + "/" + p.name + ".png";
    std::ifstream in(dir + "/" + f);
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) p.truth[line.substr(0, colon)] = line.substr(colon + 1);
    }
    // Pages without a machine-readable zone (odd line lengths) have nothing to read.
    const std::string kind = p.get("kind");
    if (kind == "passport" || kind == "visa_a" || kind == "visa_b" || kind == "permit" || kind == "visa_chn")
      pages.push_back(p);
  }
  ::closedir(d);
  std::sort(pages.begin(), pages.end(), [](const Page& a, const Page& b) { return a.name < b.name; });
  if (limit > 0 && static_cast<int>(pages.size()) > limit) pages.resize(limit);
  return pages;
}

int editDistance(const std::string& a, const std::string& b) {
  std::vector<int> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = static_cast<int>(j);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = static_cast<int>(i);
    for (std::size_t j = 1; j <= b.size(); ++j)
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

std::string rstripBlanks(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// Line n (0 or 1) of an MRZ text laid out as PASSPORT_OCR_RESULT::mrz.
std::string mrzLine(const char* mrz, std::size_t size, int n, std::size_t width) {
  const std::size_t from = n == 0 ? 0 : 44;
  std::string s;
  for (std::size_t i = from; i < from + width && i < size && mrz[i] != '\0'; ++i) s.push_back(mrz[i]);
  return rstripBlanks(s);
}

void scoreLines(const std::string got[2], const Page& p, Score& s) {
  const std::string want[2] = {p.get("mrz1"), p.get("mrz2")};
  for (int i = 0; i < 2; ++i) {
    s.line[i] = got[i] == want[i];
    s.charErrors += editDistance(got[i], want[i]);
    s.chars += static_cast<int>(want[i].size());
  }
  s.doc = s.line[0] && s.line[1];
}

// What the scan gives for the page's fields, as the truth file states them.
bool fieldsMatch(const Page& p, const OCR_RESULT& r) {
  const std::string kind = p.get("kind");
  const std::string issuer = p.get("issue_country");
  std::string id = p.get("id");
  std::string addId = p.get("add_id");
  // A short visa issued by China carries its number in add_id.
  if (kind == "visa_b" && issuer == "CHN") {
    addId = id.substr(0, 9);
    id.clear();
  }
  const bool ok = std::to_string(r.cert_type) == p.get("cert_type") && r.status == 0 && id == r.id &&
                  p.get("name_en") == r.name_en && p.get("nationality") == r.nationality &&
                  p.get("birthday") == r.birthday && std::string(p.get("sex") == "M" ? "男" : "女") == r.sex &&
                  p.get("valid_to") == r.valid_to && issuer == r.issue_country && addId == r.add_id &&
                  p.get("category") == r.category;
  return ok;
}

// Template matching alone on the handed-over lines: the reader's passes
// (digits, letters, either; then the optional-data pass of a 2 x 44 line 2)
// without any re-reading.
void matchOnly(std::string got[2], std::size_t width) {
  clearResult();
  const bool td3 = g_posRect.size() == 88;
  const char* format = td3 ? lineformat : lineformat_72;
  passport_ocr_result.mrz_type = td3 ? 0 : 1;
  bool ok = process_matchocr(wl_num, format, "N", -1) == 0 && process_matchocr(wl_let, format, "L", -1) == 0 &&
            process_matchocr(wl_2, format, "O", -1) == 0;
  if (ok && td3) {
    const char* m = passport_ocr_result.mrz;
    if (m[0] == 'R' && std::strncmp(m + 2, "CHN", 3) == 0)
      ok = process_matchocr(wl_num, lineformat_RN, "N", -1) == 0;
    else
      ok = process_matchocr(wl_2, lineformat_RO, "O", -1) == 0;
  }
  (void)ok;  // a failed pass leaves its positions blank, which scores as misread
  for (int i = 0; i < 2; ++i)
    got[i] = mrzLine(passport_ocr_result.mrz, sizeof(passport_ocr_result.mrz), i, width);
}

void recogniserOnly(std::string got[2]) {
  got[0] = reread_mrz(g_rapidRec_line_1, 'O').text;
  got[1] = reread_mrz(g_rapidRec_line_2, 'O').text;
}

struct ModeRun {
  std::string label;
  int fixed;  // detect mode + 1, 0 alternating with retries
};

void printFail(const Page& p, const std::string& mode, const char* reader, const Score& s,
               const std::string got[2]) {
  const std::string want[2] = {p.get("mrz1"), p.get("mrz2")};
  for (int i = 0; i < 2; ++i)
    if (!s.line[i])
      std::fprintf(g_out, "fail name=%s mode=%s reader=%s line=%d want=%s got=%s\n", p.name.c_str(), mode.c_str(), reader,
                  i + 1, want[i].c_str(), got[i].empty() ? "-" : got[i].c_str());
}

// Walks the visa items of the page just scanned again, printing what the
// recogniser reads from each item crop before any check:
//   reading name=.. mode=.. item=number|category alphabet=O|A|N text=.. want=.. exact=0|1 min_score=..
//           scores=s1,s2,..
void printVisaReadings(const Page& p, const std::string& mode, const cv::Mat& img, const OCR_RESULT& scanned) {
  cv::Mat page = img;
  if (page.cols != 1600) {
    const double s = page.cols / 1600.0;
    cv::resize(img, page, cv::Size(1600, static_cast<int>(std::lround(page.rows / s))), 0, 0, cv::INTER_LINEAR);
  }
  if (page.channels() != 3) return;
  VisaItemReaders readers = defaultVisaItemReaders();
  std::string item;
  const auto textBox = readers.text_box;
  readers.text_box = [&](cv::Mat& crop, int minLong, int minShort, TEXT_BOX_FILTER_TYPE f, SCAN_LOCATION l,
                         cv::RotatedRect& box) {
    item = "number";
    return textBox(crop, minLong, minShort, f, l, box);
  };
  const auto categoryBox = readers.category_box;
  readers.category_box = [&](cv::Mat& crop, cv::Mat& box, cv::Size k, int l) {
    item = "category";
    return categoryBox(crop, box, k, l);
  };
  const auto recognise = readers.recognise;
  readers.recognise = [&](const cv::Mat& image, char alphabet) {
    TextLine t = recognise(image, alphabet);
    const std::string want = item == "number" ? p.get("add_id") : p.get("category");
    float low = 1.f;
    for (float v : t.scores) low = std::min(low, v);
    std::string scores;
    for (float v : t.scores) scores += (scores.empty() ? "" : ",") + std::to_string(v).substr(0, 5);
    std::fprintf(g_out,
                 "reading name=%s mode=%s item=%s alphabet=%c text=%s want=%s exact=%d min_score=%.3f scores=%s\n",
                 p.name.c_str(), mode.c_str(), item.c_str(), alphabet, t.text.empty() ? "-" : t.text.c_str(),
                 want.c_str(), t.text == want ? 1 : 0, t.scores.empty() ? 0.f : low,
                 scores.empty() ? "-" : scores.c_str());
    return t;
  };
  OCR_RESULT copy = scanned;
  copy.add_id[0] = '\0';
  copy.category[0] = '\0';
  get_visa_issue_info(page, copy, readers);
}

void measurePage(const Page& p, const ModeRun& m, int scanType, bool showFails, Tally& t) {
  cv::Mat img = cv::imread(p.png, cv::IMREAD_UNCHANGED);
  if (img.empty()) {
    std::fprintf(g_out, "page name=%s mode=%s code=unreadable\n", p.name.c_str(), m.label.c_str());
    return;
  }
  const std::size_t width = p.get("mrz1").size();
  setDetectMode(m.fixed);
  vyrocr_set_scan_type(scanType);

  OCR_RESULT r;
  double ms = 0;
  int code = -1;
  bool located = false;
  std::string matchGot[2], recGot[2];
  const int attempts = m.fixed == 0 ? 3 : 1;
  for (int a = 0; a < attempts; ++a) {
    g_line12_2.release();
    const double t0 = vyr_get_current_time();
    code = vyrocr_scan_mat(img, 1, r);
    ms += vyr_get_current_time() - t0;
    if (g_visaReadings && code == 0 && p.get("kind") == "visa_chn") printVisaReadings(p, m.label, img, r);
    // The reader ran on this attempt's lines exactly when the result analysis
    // inverted the merged line image.
    if (!g_line12_2.empty() && (g_posRect.size() == 88 || g_posRect.size() == 72)) {
      located = true;
      matchOnly(matchGot, width);
      recogniserOnly(recGot);
    }
    if (code == 0) break;
  }

  Score full, match, rec;
  std::string fullGot[2] = {mrzLine(r.mrz, sizeof(r.mrz), 0, 44), mrzLine(r.mrz, sizeof(r.mrz), 1, 44)};
  scoreLines(fullGot, p, full);
  full.doc = code == 0 && full.doc && fieldsMatch(p, r);
  scoreLines(matchGot, p, match);
  scoreLines(recGot, p, rec);

  std::fprintf(g_out, 
      "page name=%s mode=%s code=%d ms=%.1f located=%d full=%d full_l1=%d full_l2=%d match=%d match_l1=%d "
      "match_l2=%d rec=%d rec_l1=%d rec_l2=%d\n",
      p.name.c_str(), m.label.c_str(), code, ms, located ? 1 : 0, full.doc, full.line[0], full.line[1], match.doc,
      match.line[0], match.line[1], rec.doc, rec.line[0], rec.line[1]);
  if (p.get("kind") == "visa_chn") {
    // A wrong value is one that is filled and differs from the print; an
    // empty number is a refusal.
    const std::string addId = r.add_id, category = r.category;
    const bool idOk = code == 0 && addId == p.get("add_id");
    const bool catOk = code == 0 && category == p.get("category");
    ++t.visaPages;
    t.visaBoth += idOk && catOk ? 1 : 0;
    t.addIdExact += idOk ? 1 : 0;
    t.addIdEmpty += addId.empty() ? 1 : 0;
    t.addIdWrong += !addId.empty() && addId != p.get("add_id") ? 1 : 0;
    t.categoryExact += catOk ? 1 : 0;
    t.categoryWrong += !category.empty() && category != p.get("category") ? 1 : 0;
    std::fprintf(g_out, "visa name=%s mode=%s layout=%s add_id=%s want_add_id=%s category=%s want_category=%s\n",
                 p.name.c_str(), m.label.c_str(), p.get("layout").c_str(), addId.empty() ? "-" : addId.c_str(),
                 p.get("add_id").c_str(), category.empty() ? "-" : category.c_str(), p.get("category").c_str());
  }
  if (showFails) {
    if (!full.doc) {
      if (full.line[0] && full.line[1])
        std::fprintf(g_out, "fail name=%s mode=%s reader=full fields code=%d\n", p.name.c_str(), m.label.c_str(), code);
      printFail(p, m.label, "full", full, fullGot);
    }
    printFail(p, m.label, "match", match, matchGot);
    printFail(p, m.label, "rec", rec, recGot);
  }
  std::fflush(g_out);

  ++t.pages;
  t.located += located ? 1 : 0;
  const Score* s[3] = {&full, &match, &rec};
  for (int k = 0; k < 3; ++k) {
    t.doc[k] += s[k]->doc ? 1 : 0;
    t.lines[k] += (s[k]->line[0] ? 1 : 0) + (s[k]->line[1] ? 1 : 0);
    t.charErrors[k] += std::min(s[k]->charErrors, s[k]->chars);
    t.chars[k] += s[k]->chars;
  }
  t.ms.push_back(ms);
  ++t.codes[code];
}

void printSummary(const std::string& mode, Tally& t) {
  if (t.pages == 0) return;
  std::sort(t.ms.begin(), t.ms.end());
  double sum = 0;
  for (double v : t.ms) sum += v;
  const auto at = [&](double q) { return t.ms[std::min(t.ms.size() - 1, static_cast<std::size_t>(q * t.ms.size()))]; };
  const double n = t.pages;
  const char* names[3] = {"full", "match", "rec"};
  std::fprintf(g_out, "summary mode=%s pages=%d located=%d", mode.c_str(), t.pages, t.located);
  for (int k = 0; k < 3; ++k)
    std::fprintf(g_out, " %s_doc=%.4f %s_line=%.4f %s_char=%.4f", names[k], t.doc[k] / n, names[k], t.lines[k] / (2 * n),
                names[k], t.chars[k] ? 1.0 - static_cast<double>(t.charErrors[k]) / t.chars[k] : 0.0);
  std::fprintf(g_out, " ms_mean=%.1f ms_median=%.1f ms_p95=%.1f ms_max=%.1f\n", sum / n, at(0.5), at(0.95), t.ms.back());
  std::fprintf(g_out, "codes mode=%s", mode.c_str());
  for (const auto& c : t.codes) std::fprintf(g_out, " %d=%d", c.first, c.second);
  std::fprintf(g_out, "\n");
  if (t.visaPages > 0)
    std::fprintf(g_out,
                 "visa_summary mode=%s pages=%d both_exact=%d add_id_exact=%d add_id_empty=%d add_id_wrong=%d "
                 "category_exact=%d category_wrong=%d\n",
                 mode.c_str(), t.visaPages, t.visaBoth, t.addIdExact, t.addIdEmpty, t.addIdWrong, t.categoryExact,
                 t.categoryWrong);
}

void usage() {
  std::fprintf(stderr,
               "usage: vyrmeasure --models DIR --pages DIR [--modes 0,1,auto] [--limit N] [--scan-type T]\n"
               "                  [--camera 0|1] [--quiet-fails] [--log] [--visa-readings]\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string models, pagesDir, modes = "0,1,auto";
  int limit = 0, scanType = 1, camera = 1;
  bool showFails = true;
  bool keepLog = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--models" && hasValue)
      models = argv[++i];
    else if (a == "--pages" && hasValue)
      pagesDir = argv[++i];
    else if (a == "--modes" && hasValue)
      modes = argv[++i];
    else if (a == "--limit" && hasValue)
      limit = std::atoi(argv[++i]);
    else if (a == "--scan-type" && hasValue)
      scanType = std::atoi(argv[++i]);
    else if (a == "--camera" && hasValue)
      camera = std::atoi(argv[++i]);
    else if (a == "--quiet-fails")
      showFails = false;
    else if (a == "--log")
      keepLog = true;
    else if (a == "--visa-readings")
      g_visaReadings = true;
    else {
      usage();
      return 2;
    }
  }
  if (models.empty() || pagesDir.empty()) {
    usage();
    return 2;
  }
  std::vector<ModeRun> runs;
  std::size_t from = 0;
  while (from <= modes.size()) {
    const std::size_t comma = modes.find(',', from);
    const std::string m = modes.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    if (m == "0" || m == "1" || m == "2")
      runs.push_back({m, std::atoi(m.c_str()) + 1});
    else if (m == "auto")
      runs.push_back({m, 0});
    else if (!m.empty()) {
      usage();
      return 2;
    }
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  const std::vector<Page> pages = loadPages(pagesDir, limit);
  if (pages.empty()) {
    std::fprintf(stderr, "vyrmeasure: no pages with truth in %s\n", pagesDir.c_str());
    return 1;
  }
  if (!keepLog) {
    // Records go to the original standard output; the library's lines to /dev/null.
    const int fd = ::dup(STDOUT_FILENO);
    FILE* out = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (out != nullptr && std::freopen("/dev/null", "w", stdout) != nullptr) g_out = out;
  }
  vyr_set_log_dummy(keepLog ? 0 : 1);
  const int rc = vyrocr_init(models.c_str(), "", camera);
  if (rc != 0) {
    std::fprintf(stderr, "vyrmeasure: vyrocr_init(%s) = %d\n", models.c_str(), rc);
    return 1;
  }
  std::fprintf(g_out, "models dir=%s pages=%zu\n", models.c_str(), pages.size());
  std::vector<Tally> tallies(runs.size());
  for (std::size_t k = 0; k < runs.size(); ++k)
    for (const Page& p : pages) measurePage(p, runs[k], scanType, showFails, tallies[k]);
  for (std::size_t k = 0; k < runs.size(); ++k) printSummary(runs[k].label, tallies[k]);
  setDetectMode(0);
  vyrocr_unInit();
  std::fflush(g_out);
  return 0;
}
