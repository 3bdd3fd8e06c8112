#include "card_main.h"

#include "test_ocr_result.h"
#include "vyr_log.h"

int vyr_card_scan(cv::Mat& page, OCR_RESULT& result) {
  (void)page;
  (void)result;
  append_test_info_item("vyr_card_scan: ", TEST_INFO_NO_VALUE);
  vyr_log(1, "vyr_card_scan: card reading is not available in this build");
  return -1;
}
