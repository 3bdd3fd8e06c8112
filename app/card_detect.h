// Card location on the scan path: the card detector on a working image about
// 400 pixels wide, the size check for the camera generation, the side
// decision by the holder's photograph, and the upright cut of the card at
// full resolution.
//
// Camera arguments: 1 is the old camera, any other value the new one.
// Every size below is in working-image pixels unless it says otherwise.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// The card size the size check expects on the working image.
struct CardSize {
  int longSide;
  int shortSide;
};
// 247 x 154 for the old camera (1), 210 x 132 for any other value.
CardSize expectedCardSize(int camera);

// Largest distance of a card side from its expected size.
constexpr int kCardSizeTolerance = 50;

// 0 when both sides of rr, truncated, lie within kCardSizeTolerance of the
// expected size, else -3.
int checkCardSize(const cv::RotatedRect& rr, int card_w, int card_h);

// Finds the card on a frame (8-bit, 1 to 4 channels; the scan path passes a
// 1600-column BGR frame) and cuts it out upright at full resolution. card,
// isfront and rectFace are the outputs of get_card_rect. Returns 0 (logging
// "card detect: %.3f ms" and adding the location time to the test-info
// line), -1 (no card model, no card, a frame narrower than 400 columns or a
// failed cut), -80 (the card moved since the previous frame) or -3 (card
// size). The frame is only read.
int detect_card(cv::Mat& frame, cv::Mat& card, bool& isfront, cv::Rect& rectFace, int camera);

// From the four card corners on the working image small_color (of which
// small_gray has the size): checks the size (-3), looks for the holder's
// photograph on the small upright cut and cuts the card from a copy of the
// frame at frame.cols / 400 times the resolution. isfront is set to false,
// then to true when a photograph was found; rectFace then receives its box in
// the full-resolution card, which is turned by 180 degrees when the
// photograph showed it upside down. On the back side with the new camera two
// bands of the frame copy are smoothed first (cardBackBands). Returns 0, -3,
// or -1 when no crop remains or a cut fails. card is written only on 0.
int get_card_rect(cv::Mat& frame, cv::Mat& small_color, cv::Mat& small_gray, int card_w, int card_h,
                  int camera, std::vector<cv::Point>& corner, cv::Mat& card, bool& isfront,
                  cv::Rect& rectFace);

// The two frame bands the new camera's back side smooths, found from the
// first bright mark (Otsu, opened 5 x 5, closed 1 x 20; at least 101 outline
// points, width 11 or more, height 21 to 49) in the frame window
// (1420, 300, 150, 300). False when no mark qualifies, the mark touches the
// window's left or top edge, or the window or a band does not fit the frame
// (which must be 1600 columns wide).
bool cardBackBands(const cv::Mat& frame, cv::Rect& bandA, cv::Rect& bandB);

// Smooths the bands of cardBackBands in place with a 5 x 5 median that sees
// only the band. Returns whether anything was smoothed.
bool smoothCardBackBands(cv::Mat& frame);
