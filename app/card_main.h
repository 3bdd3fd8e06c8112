// The card path of the scan interface: permit cards (travel permits for Hong
// Kong, Macau and Taiwan residents, APEC business travel card).
#pragma once
#include <opencv2/core.hpp>

#include "result.h"

// Scans a card on the working frame (8-bit BGR, 1600 columns). Card location
// and reading are not part of this build yet: the path logs that and
// returns -1, leaving the caller's record as it is.
int vyr_card_scan(cv::Mat& page, OCR_RESULT& result);
