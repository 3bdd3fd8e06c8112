// The card path of the scan interface: permit cards (travel permits for Hong
// Kong, Macau and Taiwan residents, APEC business travel card).
#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "result.h"

// The card class the photo side's title line is expected for: 1 at load.
extern int cardClass;

// Stores the card class (the driver's "-c1" and "-c2").
void cardMode(int mode);

// Scans a card on the working frame (8-bit BGR, 1600 columns; only read).
// The card is located and cut out; its photo side is levelled by its title
// line and left as the face and card crops (g_faceimg, g_cropimg) with the
// cleared card record; its back side is levelled, turned upright and its
// text lines found, then read by the back-side reader into card_result. On 0
// card_result is copied into result and printed. Otherwise the first failing
// step's code: -1, -3 or -80 from the location, -1 from the title line or the
// back's lines, or the reader's negative code; result is then left as it is.
int vyr_card_scan(cv::Mat& page, OCR_RESULT& result);

// The crop of the photograph around a face box on a cols x rows card: 1.7
// times its width and 1.8 times its height about its centre, moved 4 pixels
// right and 2 up, clipped to the card. Empty when nothing of it lies inside.
cv::Rect cardFaceCrop(const cv::Rect& face, int cols, int rows);

// The back-side reader: card (levelled, upright), its line boxes and the
// old-camera flag; a negative code, or 0 or more with card_result filled.
// Until the library offers the permit back-side reader, the built-in one logs
// the lines found and returns -1.
using CardBackReader = int (*)(cv::Mat& card, std::vector<cv::Rect>& lines, int oldCamera);
// Replaces the back-side reader (tests and measurements); nullptr restores
// the built-in one.
void set_card_back_reader(CardBackReader reader);
