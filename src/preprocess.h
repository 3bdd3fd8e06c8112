// Binarisation of deskewed MRZ text lines for projection segmentation.
//
// Each entry point turns one grey line into an 8-bit one-channel image with ink
// 255 on background 0 (adaptive mean threshold, inverted, then an opening with
// a 3x3 cross) and surrounds it with a background border of
// e = max(20, rows / 5) pixels on every side. Grey pixel (x, y) becomes pixel
// (x + e, y + e). The border width of line N is stored in g_lineN_edge so that
// boxes found on the binarised line can be mapped back onto the colour line.
//
// An output may be the very matrix that is its input (the card callers
// binarise in place); otherwise the grey input is left unchanged.
//
// Bad input never throws: a colour line is taken as its grey plane, a line of
// another depth is converted to 8 bits, and an empty line gives an empty output
// with its border global left as it was. An even block size is raised to the
// next odd one, and a block size below 3 becomes 3.
#pragma once
#include <opencv2/core.hpp>

// Constant C of the card binarisation, read at every call; 17 at load.
extern int card_preprocess_threshold;

// The two MRZ lines of a passport or visa page; writes g_line1_edge and
// g_line2_edge.
void preprocess1(cv::Mat& grey1, cv::Mat& grey2, cv::Mat& bin1, cv::Mat& bin2, int blockSize,
                 int C);

// The two MRZ lines of a permit-card back, block size 31 and
// C = card_preprocess_threshold; writes g_line1_edge and g_line2_edge.
void preprocess_card(cv::Mat& grey1, cv::Mat& grey2, cv::Mat& bin1, cv::Mat& bin2);

// The third MRZ line of the APEC card, as preprocess_card; writes g_line3_edge
// only.
void preprocess_card_one(cv::Mat& grey, cv::Mat& bin);

// The 8-bit grey plane of any line image (colour and BGRA lines are converted,
// a grey one is returned as it is); empty when there is nothing to read.
cv::Mat greyPlane(const cv::Mat& line);
