// OCR-B template sheets and the matching passes.
//
// Six template sheets, one per character size, are cut into 37 glyph
// templates each at start-up. A matching pass reads one class of MRZ
// positions (letters, digits, or either) with the templates of the sheet that
// fits the measured character pitch, and writes the characters and their
// scores into the working MRZ record only when every position matched.
#pragma once
#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

#include "charmatch.h"

// ---- template sheets ----------------------------------------------------------

constexpr int kSheetCount = 6;

// g_tplm[k][i]: glyph i of sheet k, 8-bit single-channel, ink 255 on 0; all
// templates of a sheet share one size, g_tpl_size[k]. Empty and (0, 0) until
// the sheet is loaded; written only by the loader.
extern cv::Mat g_tplm[kSheetCount][kGlyphCount];
extern cv::Size g_tpl_size[kSheetCount];

// Loads "ocrb_24.png" ... "ocrb_34.png" from the directory `dir`, in that
// order. 0 when all six loaded; -1 at the first sheet that fails (the later
// ones are not read). Logs "ocrb [%s] loaded" per sheet.
int match_init(const char* dir);

// Nothing to release: the templates live until the process ends.
void match_unInit();

// Cuts one sheet file into 37 templates and stores their size. 0 on success;
// -1 when the file cannot be read, does not hold exactly 37 glyph regions, or
// a template box would reach past the sheet's border. On failure `size` is
// (0, 0) and no template is changed.
int getTplArr_d(const char* path, cv::Mat* templates, cv::Size& size);
int _getTplArr_d(const char* path, cv::Mat* templates, cv::Size& size);

// Left edge first: the order of the glyph boxes of a sheet.
bool compxpoint(cv::Rect a, cv::Rect b);

// The sheet index for a pitch of `charWidth` pixels: below 23 -> 0, 23-24 -> 1,
// 25-27 -> 2, 28-29 -> 3, 30-31 -> 4, 32 and more -> 5.
int sheetForPitch(int charWidth);

// The 37 templates of sheet `sheet` (0 to 5), or of the sheet that fits
// g_aCharWidth when `sheet` is negative. With log 1 logs "tpl=%d".
cv::Mat* getTpl(int sheet, int log);

// ---- format strings and whitelists ---------------------------------------------

// One class letter per character box, line 1 then line 2: L letter or filler,
// N digit or filler, O letter, digit or filler, X matched by no pass.
extern const char* lineformat;     // 2 x 44
extern const char* lineformat_72;  // 2 x 36
extern const char* lineformat_RN;  // 2 x 44, digits in line-2 positions 34-42 only
extern const char* lineformat_RO;  // 2 x 44, letters or digits in line-2 positions 34-42 only

// Whitelists, in the order the matcher tries them (earlier wins ties).
extern const char* wl_num;  // "0123456789<"
extern const char* wl_let;  // "<ABCDEFGHIJKLMNOPQRSTUVWXYZ"
extern const char* wl_2;    // "<ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"

// ---- matching passes ----------------------------------------------------------------

// Matches the positions of class chartype[0] of the two-line MRZ in g_line12_2
// (ink bright) with the boxes g_posRect_no_blank, skipping positions that hold
// too little ink. `sheet` is 0 to 5, or negative to choose it by g_aCharWidth.
// Only when every position matched are the characters and scores written into
// passport_ocr_result.mrz and char_conf; box i of n goes to MRZ index i when
// i < n / 2, else to i + (88 - n) / 2.
// Returns 0; -1 for a bad argument or a failed position; -18 when g_posRect
// does not hold 30, 60, 72 or 88 boxes or g_posRect_no_blank differs in count.
int process_matchocr(const char* whitelist, const char* format, const char* chartype, int sheet);

// The same for the one line in g_line3 with the boxes g_posRect3, without the
// blank test and without scores: out[i] receives the character of box i (no
// index mapping, no terminator). `out_size` is the size of `out`; it must
// exceed the number of boxes so that the caller's terminator survives,
// otherwise -1.
int process_matchocr_one(const char* whitelist, const char* format, const char* chartype, int sheet,
                         char* out, std::size_t out_size);

// ---- helpers of the matching files (not on the scan path) ------------------------------

// Writes the 1-based positions (one byte each) of the characters of `format`
// equal to `chartype`, then a 0 byte. Returns the number of positions.
int fetchcharpos(const char* format, char* out, char chartype);

// Blanks passport_ocr_result.mrz at each of the first n 1-based positions.
void clearCharPos(char* pos, int n);

struct charscore {
  char ch;
  float score;
};
// Higher score first.
bool compscore(charscore& a, charscore& b);

// Stores n in g_total_count.
void setTotalCount(int n);

// Per mille of zero pixels of a non-empty image.
int countMatchs_d(cv::Mat m);

// Number of columns of an 8-bit single-channel image holding a pixel of
// `thresh` or more.
int shadowy(cv::Mat img, int thresh);
