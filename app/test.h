// The command-line test driver: options, the walk over one image or a
// directory tree, the per-image run with its test modes, and the copies of
// failing images into "output" and "infoError".
#pragma once
#include <cstdio>
#include <string>

#include <opencv2/core.hpp>

#include "result.h"

// ---- run-wide settings and totals ----------------------------------------------
extern int g_camera;             // 1 new camera, 0 old one
extern int g_check_ocr_result;   // -2 no comparison, -1 asked for, then the loader's result
extern int g_model_type;         // single-line test: 0 none, 1 MRZ, 2 Chinese, 3 GBK, 4 -env3
extern int g_test_card;          // 1: only the card detector test
extern int g_test_face;          // 1: only the face detector test
extern int stop_on_check_error;  // 1: pause only after a failed comparison
extern int g_use_gpu;            // 1: device "opencl"
extern char g_set_scan_type[20]; // the "-st..." argument, cut to 19 characters
extern int total_count;          // images read
extern int errcount;             // classified images whose final result is not 0
extern int info_error_cnt;       // successful scans that disagree with the expected results
extern int rotated_count;        // classified images with the rotate status set

// Back to the start values (settings and totals), for repeated runs in one
// process.
void reset_driver_state();

// The program's entry: options, init with "../models-release", the walk and
// the totals. Returns the process status.
int driver_main(int argc, char** argv);

// Applies the options of argv[1..argc-1] to the settings and the library's
// switches; the last argument that is no option becomes `path`.
void parse_args(int argc, char** argv, std::string& path, int& recursive);

// Applies g_set_scan_type; a bare "-st" asks on `in` with the menu. Returns
// -1 when `in` ended before an accepted scan type was read, else 0.
int set_scan_type(FILE* in);
void set_scan_type();

int init(int camera);
int uninit();
int remove_test_file();

// ---- walk ---------------------------------------------------------------------------
// The lower-cased extension of the path's last component, or "".
void get_extension(const char* path, std::string& out);
bool is_image_extension(const char* path);
// 0 when the path is an image and was scanned, -1 otherwise (nothing printed).
int process_onefile(const char* path);
void process_dir(const char* path, int recursive);

// ---- per-image run ------------------------------------------------------------------
int main_process(const char* path, int in_dir);
int check_rotate_status();

// The scan that main_process runs; nullptr restores vyrocr_scan_mat. Lets
// tests script scan results.
using DriverScanFn = int (*)(cv::Mat& image, int camera, OCR_RESULT& result);
void set_driver_scan_function(DriverScanFn fn);

// Debug windows and key waits need a display; without one they are skipped
// (logged once), since imshow aborts and waitKey(0) blocks there. The
// program then also turns the library's debug display off.
bool driver_can_show();

// ---- copies of failing images ---------------------------------------------------------
void writeOutputFile(cv::Mat& image, const char* path);
void writeInfoErrorFile(cv::Mat& image, const char* path);
