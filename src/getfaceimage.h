// Crops of the holder's photograph: from a rectified permit card, where the
// face also tells the photo side and which way up the card lies, and from a
// located passport data page.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "detect/centerface.h"

// Grows r about its centre by fx * width and fy * height (half on each side),
// shifts it by dx * width and dy * height and clamps it to the image. Always 0.
int _expandCropSize(cv::Mat& image, cv::Rect& r, double fx, double fy, double dx, double dy);

// _expandCropSize with fx 0, fy 0.28, no shift.
int expandCropSize(cv::Mat& image, cv::Rect& r);

// Where a card's face is searched: the left part and the right region turned
// by 180 degrees, both (0, top, left_width, part_height) of their region.
struct CardFaceLayout {
  int half = 0;         // cols / 2
  int top = 0;          // 0.1 * rows
  int left_width = 0;   // half - 0.2 * half
  int part_height = 0;  // rows - 0.2 * rows
};

// The layout of a cols x rows card; false when the parts would be empty.
bool cardFaceLayout(int cols, int rows, CardFaceLayout& layout);

// The search image of a card: its left part and, to the right, the part of
// its right region (from column half - 1) turned by 180 degrees. The card is
// not changed. False (search untouched) for a card too small to split.
bool cardFaceSearchImage(const cv::Mat& card, cv::Mat& search, CardFaceLayout& layout);

// Clips every face box to a search image of the given size and returns the
// index of the largest clipped box (the first of equal ones), or -1 when no
// box keeps an area. chosen receives the clipped box.
int chooseCardFace(const std::vector<_s_face_info>& faces, cv::Size search, cv::Rect& chosen);

// The card face among the detector's faces on a search image: the largest
// clipped box is cut out (an owned copy) into face. Returns 0 when no box can
// be cut (face and faceRect untouched), 1 when its centre lies in the left
// half (faceRect in the card's coordinates), 2 otherwise (faceRect in the
// coordinates of the turned right region).
int cardFaceFromFaces(const cv::Mat& search, const CardFaceLayout& layout, int card_rows,
                      const std::vector<_s_face_info>& faces, cv::Mat& face, cv::Rect& faceRect);

// The part of a passport page searched for the face: (0, 0.15 rows,
// 0.4 cols rounded down to even, 0.65 rows rounded down to a multiple of 3).
cv::Rect passportFaceRegion(cv::Size page);

// The first face of the list that can be cut out of the search region once
// grown by 0.75, as an owned copy. Returns 0, or -1 (face untouched).
int passportFaceFromFaces(cv::Mat& region, const std::vector<_s_face_info>& faces, cv::Mat& face);

// Looks for a face on a rectified card. Returns 0 (no face: the back side;
// face and faceRect untouched), 1 (face in the left part: upright; faceRect in
// the card's coordinates) or 2 (face in the turned right part: upside down;
// faceRect in the coordinates of the turned right region). face is an owned
// copy, upright in both cases. The caller's card is not changed.
int getCardFaceImage(cv::Mat& card, cv::Mat& face, cv::Rect& faceRect);

// Cuts the detector's best-ranked face (grown by 0.75 in both directions)
// out of a passport page into an owned copy. Returns 0, or -1 when there is
// no face (face untouched).
int getPassportFaceImage(cv::Mat& page, cv::Mat& face);
