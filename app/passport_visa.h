// The printed items of a Chinese visa that its MRZ does not hold, the visa
// number (red print) and the visa category, read from the page through the
// deskew record of MRZ line 1: the record tells how the deskewed line lies in
// the MRZ band, so that regions given in MRZ character positions can be cut
// out of the page, checked and read.
#pragma once
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "nn/CrnnNet.h"
#include "result.h"
#include "vyr_textbox.h"

// ---- deskew records --------------------------------------------------------------

// How one deskewed MRZ line maps back into the band. A point (u, v) of the
// deskewed line lies at inverse_mat * (u + crop_x, v + crop_y, 1) of the cut
// the deskew was given, minus (src_offset_x, src_offset_y) plus the cut's
// top-left corner (line_rect.x, line_rect.y) in the band.
struct PASSPORT_ROTATED_STRUCT {
  cv::Rect_<float> line_rect;  // the cut of the band that was deskewed (written by the caller)
  float rotate_angle = 0.f;    // degrees; 0 when the deskew did not rotate
  bool has_inverse = false;    // a mapping is stored; the deskew stores one only while false
  cv::Mat inverse_mat;         // 2 x 3 CV_64F: working image -> cut
  int crop_x = 0;              // (working width - output width) / 2
  int crop_y = 0;              // (working height - output height) / 2
  int src_offset_x = 0;
  int src_offset_y = 0;

  // Member by member; the copy shares inverse_mat with the source, so a
  // later in-place store into the source's matrix shows through the copy.
  PASSPORT_ROTATED_STRUCT& operator=(const PASSPORT_ROTATED_STRUCT& other);
  PASSPORT_ROTATED_STRUCT() = default;
  PASSPORT_ROTATED_STRUCT(const PASSPORT_ROTATED_STRUCT& other) = default;
  ~PASSPORT_ROTATED_STRUCT() = default;
};

// Entry 0: the upper MRZ line (the only one that ever gets a mapping);
// entry 1: the lower line.
extern PASSPORT_ROTATED_STRUCT g_rotated_struct[2];
// The copy of the upper line's record that the visa reading maps through.
extern PASSPORT_ROTATED_STRUCT g_get_issue_addr;
// The four corners of the visa item being cut out.
extern std::vector<cv::Point> g_point_list;

// ---- where the items are printed -------------------------------------------------

// One printed item, placed by the boxes of MRZ line 1 in g_posRect. Its
// baseline runs from the top-left corner of box first_box - 1 to that of box
// last_box - 1, lengthened on the right by extend_percent of its length; the
// region lies between two distances above it, x(offset1_box) - x(base_box)
// and x(offset2_box) - x(base_box), that is a number of character pitches.
struct SCAN_ITEM_LOCATION {
  int location;        // SCAN_LOCATION: the item kind
  int skip;            // 0: the record is used
  int mrz_type;        // the MRZ layout it applies to (0: two lines of 44)
  int first_box;       // 1-based
  int last_box;        // 1-based
  int base_box;        // 0-based, as the two below
  int offset1_box;
  int offset2_box;
  int extend_percent;
  int min_long_chars;   // minimum long side of the number's text box, in g_aCharWidth
  int min_short_chars;  // minimum short side, in g_aCharHeight
  int filter_type;      // TEXT_BOX_FILTER_TYPE of the number's text box
};
// Number just above the MRZ, number high above it, category of the layout
// with the number above the MRZ, category of the layout with the number high.
extern const SCAN_ITEM_LOCATION scan_item_location[4];

// ---- reading a Chinese visa ----------------------------------------------------

// The readers the visa walk calls; by default the functions of this file
// (check_red_contours, crnn_detect_textbox, detect_category_box) and the
// English recogniser crnn_extract_en. A test may script any of them.
struct VisaItemReaders {
  std::function<int(cv::Mat& crop, int location)> red_print;
  std::function<cv::Mat(cv::Mat& crop, int minLong, int minShort, TEXT_BOX_FILTER_TYPE filter,
                        SCAN_LOCATION location, cv::RotatedRect& box)>
      text_box;
  std::function<int(cv::Mat& crop, cv::Mat& box, cv::Size kernel, int location)> category_box;
  std::function<TextLine(const cv::Mat& image, char mode)> recognise;
};
VisaItemReaders defaultVisaItemReaders();

// Reads the visa number into result.add_id and the category into
// result.category of a visa issued by China, after a successful location and
// MRZ read of the same frame `page` (g_rotated_struct, g_posRect,
// g_aCharWidth, g_aCharHeight, g_line1_edge and CUT_SIZE describe it).
// Walks scan_item_location: the number just above the MRZ, else high above
// it (else a nine-digit number, which ends the walk), then the category of
// the layout found. Only a text that passes its check is written; nothing is
// cleared. Copies the line-1 record into g_get_issue_addr and leaves the
// last item's corners in g_point_list. 0 (also when nothing was read, and for
// an MRZ not starting with 'V', which empties g_point_list), or -41 when no
// single record holds a mapping, no number was read before a category
// record, or the category box was not found.
int get_visa_issue_info(cv::Mat& page, OCR_RESULT& result);
int get_visa_issue_info(cv::Mat& page, OCR_RESULT& result, const VisaItemReaders& readers);

// ---- item crop (MRZ positions onto the page) -----------------------------------

// Cuts the item region out of the page (8-bit) as an upright image: the four
// corners p1 and p2 moved len1 and len2 up along the normal of MRZ line 1
// (each mapped with get_roi_map_point, dy added to y, clamped to the page
// before and after the move) are appended to g_point_list (bl, tl, tr, br,
// rounded); the bounding box of the minimum-area rectangle of all points of
// the list, clamped with get_valid_rect, is turned by the line's angle onto a
// canvas that holds it, grey 200 where no page pixel falls. An empty image
// when the clamped region is less than 2 x 2 pixels or the page is empty.
cv::Mat get_target_image(cv::Mat& page, int dy, float len1, float len2, cv::Point2f p1, cv::Point2f p2);

// One corner as get_target_image computes it, into *out.
void get_src_map_point(cv::Point2f p, cv::Point2f* out, int dy, float len, cv::Size size);

// ---- red print -----------------------------------------------------------------------

// 0 when the crop (8-bit BGR) holds red print shaped like a line of text, on
// a half-size copy: the Lab a channel above its 71 x 71 mean by more than 7,
// closed with a 25 x 1 (location 1) or 20 x 1 kernel; an outer contour of at
// least 151 points whose box has a shorter side s >= 10 and a ratio above 3.
// Failing that, when compact blobs (s >= 60, ratio <= 3) at least 75 wide
// were seen, rows holding at most a third of the widest such blob are cleared
// and the test is made again with s >= 13. -1 otherwise, and for a crop
// smaller than 2 x 2 or not 8-bit BGR. The crop is not changed.
int check_red_contours(cv::Mat& crop, int location);

// Clears every row of the mask (8-bit, one channel) that holds at most
// `count` pixels of value 255.
void rm_adjoin(cv::Mat& mask, int count);

// ---- category box ---------------------------------------------------------------------

// Finds the printed category in the crop (8-bit BGR, smoothed in place with a
// 5 x 5 Gaussian whatever the result): dark print (101 x 101 mean minus 80),
// specks erased for location 2, closed with `kernel`; among outer contours of
// at least 21 points, a box sized like one or two MRZ characters (width in
// [0.6, 2.2) g_aCharWidth, height in [0.6, 1.5) g_aCharHeight, width / height
// in [0.48, 1.45]) nearest the crop's centre, grown by up to 10 pixels left
// and right and 5 above and below. 0 with `box` a view of the crop there; -1
// no candidate (also for a crop under 2 x 2, not 8-bit BGR, or an empty
// kernel), -2 no candidate near enough, -3 a box past the crop's edge. `box`
// is untouched on failure.
int detect_category_box(cv::Mat& crop, cv::Mat& box, cv::Size kernel, int location);

// ---- reading and checking ---------------------------------------------------------

// Read with the English recogniser into `text` (both fields replaced):
// scanVisaNo in mode 'A' for kind 1, 'O' otherwise, 0 for exactly 8 bytes;
// scanVisaNo_Ext in mode 'N', 0 for exactly 9 bytes; scan_category in mode
// 'O', 0 for fewer than 3 bytes. -1 otherwise; the reading stays in `text`.
int scanVisaNo(cv::Mat& image, TextLine& text, int kind);
int scanVisaNo_Ext(cv::Mat& image, TextLine& text);
int scan_category(cv::Mat& image, TextLine& text);

// 0 when all four corners of box lie strictly inside the image (x in
// (0, cols - 1), y in (0, rows - 1)), -1 otherwise.
int check_crnn_extract_en_result(cv::Mat& image, cv::RotatedRect box);
