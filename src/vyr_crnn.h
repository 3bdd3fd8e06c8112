// The library's neural readers as process-wide objects: four CRNN text-line
// recognisers and two DB text detectors, their start-up and shut-down, and
// the line-reading functions through which the MRZ, visa and permit readers
// and the test driver read a text-line image.
#pragma once
#include <string>

#include <opencv2/core.hpp>

#include "nn/CrnnNet.h"

class DbNet;

extern CrnnNet* g_crnnNet;      // CRNN_TYPE_EN, "ocrv4_en.p"
extern CrnnNet* g_crnnNet_v3;   // CRNN_TYPE_EN_V3, "ocrv3_en.p"
extern CrnnNet* g_crnnNet_cn;   // CRNN_TYPE_CN, "ocrv4_cn.p"
extern CrnnNet* g_crnnNet_mrz;  // CRNN_TYPE_MRZ, "ocrv3_mrz.p"
extern DbNet* g_dbNet;          // text boxes, "boxv3.p"
extern DbNet* g_dbNet_mrz;      // MRZ lines, "det_mrz.p"
// Device option of the last init_crnn: 1 runs the English and MRZ recognisers
// on the GPU when there is one.
extern int g_model_opt;
extern int min_patch_box[5];
extern int max_patch_box[5];

// Creates the four recognisers and two detectors and loads them in the order
// English, English v3, Chinese, MRZ, box detector, MRZ detector, stopping at
// the first failure (the objects stay until uninit_crnn). 0 when all loaded,
// else the failing load's code (-1 or -1002). A second call first releases
// what the previous one created.
int init_crnn(char* model_dir, int opt);

// Releases whatever init_crnn created; may be called any number of times.
void uninit_crnn();

// The recogniser serving a type (0, 1, 2, 4), or nullptr.
CrnnNet* crnn_net_for_type(int type);

// Reads one text line: blur, scale to the recogniser's input height, run,
// decode. An empty image, a type without a loaded recogniser, an image whose
// scaled width is 0 or an image that is not 8-bit give an empty TextLine.
TextLine _crnn_extract(cv::Mat img, int type, char mode, float thr);

TextLine crnn_extract_en(cv::Mat image, char mode);             // type 0, threshold 0.3
TextLine crnn_extract_en(cv::Mat image, char mode, float thr);  // type 0
TextLine crnn_extract_en_v3(cv::Mat image, char mode);          // type 4, 0.3
TextLine crnn_extract_mrz(cv::Mat image, char mode);            // type 1, 0.3
TextLine crnn_extract_cn(cv::Mat image);                        // type 2, "X", 0.3
TextLine crnn_extract_cn_date(cv::Mat image);                   // type 2, "Y", 0.3
TextLine crnn_extract_gbk(cv::Mat image);                       // type 3 (never loaded), "X", 0.3

// Reads a line sized by patch_image instead of the plain scaling.
TextLine crnn_extract_name(cv::Mat image, int type, char mode);

// Scales src to `height` rows (width cols * height / rows, truncated) and pads
// a width of at most 69 on the right with grey (127) to a multiple of 8. The
// third argument is not read. A width of 0 leaves dst empty.
void patch_image(const cv::Mat& src, cv::Mat& dst, int, int height);
