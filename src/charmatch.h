// OCR-B character matching: the glyph index that templates, whitelists and
// match results share, and the matcher that decides which whitelist glyph
// stands in one character box of a binarised text line.
//
// Images are 8-bit single-channel with ink set (255) on a ground of 0, the
// line image as well as the templates.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// ---- glyph index --------------------------------------------------------------

constexpr int kGlyphCount = 37;

// "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<": the glyph index of a character is
// its place here (digits 0-9, letters 10-35, the filler 36). Template i of
// every sheet shows glyph i.
extern const char g_char_coll[kGlyphCount + 1];

// Glyph index of c, or -1 for any other byte (lower case and blanks included).
int getIdxOfChar(char c);

// The glyph of index i; i must be 0 to 36.
char getCharOfIdx(int i);

// out[j] = getIdxOfChar(s[j]) for every character of the NUL-terminated s;
// out must hold strlen(s) ints. Always returns 0.
int getIdxOfString(const char* s, int* out);

// ---- matcher ------------------------------------------------------------------

// One match: a glyph and its score, per mille of agreeing pixels (0 to 1000).
struct _ocrRslt {
  char ch;
  int conf;
};

// Highest score first (signed compare).
bool compconf(_ocrRslt a, _ocrRslt b);

// Matches the character in `box` of `image` against the templates of the
// whitelist glyphs. `templates` holds the 37 templates of one sheet in glyph
// order; `glyphIdx` holds the glyph index of each whitelist character. Every
// glyph is tried at up to nine template-sized positions around the box; a
// position that leaves the image is skipped.
// Returns 0 with `best` = the best glyph (the earliest in the whitelist on
// equal scores) and one entry per whitelist glyph appended to `candidates`,
// the whole vector then sorted by score, highest first. Returns -1 when the
// whitelist is empty, holds a non-glyph, when no position of some glyph can be
// scored or when no glyph scores above 0; `best` is then untouched. The three
// unnamed ints are not read.
int charMatch_d(cv::Mat image, cv::Rect box, int, int, cv::Mat* templates, const char* whitelist,
                _ocrRslt& best, std::vector<_ocrRslt>& candidates, int* glyphIdx, int);

// Score of `tpl` against the area of `image` under `box` (a view, no copy);
// -1 when the box does not lie wholly inside the image or cannot be scored.
int _charMatch_d(cv::Mat image, cv::Rect box, int, float, cv::Mat tpl);

// Per-mille score of a patch against a template of the same size and type:
// pixels where they differ count against it, except patch-only ink that
// shares an edge with ink common to both. -1 when either image is empty or
// the two differ in size or type (or are not 8-bit single-channel).
int matchAChar_d(cv::Mat patch, cv::Mat tpl);

// Candidate boxes of size width x height centred on `box`: the centre, its
// four edge shifts by one pixel (those that would start left of or above the
// image's origin are left out) and its four diagonal shifts. Returns 0.
int generateDistRoi(cv::Rect box, int, std::vector<cv::Rect>& out, int, int, int width, int height);

// ---- further candidate generators and measures (not on the scan path) ------------

// As generateDistRoi, anchored on the box's right edge and top edge.
int generateDistRoi_right(cv::Rect box, int, std::vector<cv::Rect>& out, int, int, int width,
                          int height);

// The centre and its four edge shifts, as generateDistRoi anchors them, untested.
int generateDistRoi_sign(cv::Rect box, int, std::vector<cv::Rect>& out, int, int, int width,
                         int height);

// Candidates anchored at the box's top-left corner, shifted by up to two pixels
// along each axis, kept only while they stay strictly inside rowLimit x colLimit.
int generateDistRoi2(cv::Rect box, int, std::vector<cv::Rect>& out, int rowLimit, int colLimit,
                     int width, int height);

// The whole-degree angle in [-10, 10] at which the rotated image has the
// fewest columns holding a pixel of 100 or more (ties: the smaller angle).
// The caller's image is not changed.
int imgAdjust(cv::Mat image);

// Ink height: last - first + 1 over the rows holding a pixel of 129 or more;
// 2 - rows for an image without such a row.
int tmptplHeight(cv::Mat& image);

// Pixels of 129 or more inside `box` (the part of it inside the image).
int countBlackPoint(cv::Mat& image, cv::Rect box);
