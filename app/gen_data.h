// Training material for the text-line recogniser cut from a read MRZ, and two
// small path and file helpers the driver shares.
#pragma once
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "result.h"

// The name of the directory that holds `path`: the component before its last
// '/'. Returns its length (0 for "a//b.png"), or -1 when the path has no '/'
// or only a leading one; `out` is then left alone.
int get_last_subdir(const char* path, std::string& out);

// Appends text and a line feed to the file. 0, or -1 (with "write result
// file error!") when it cannot be opened.
int append_valid_region_file(const char* file, const char* text);

// The file name of `path` without directory and extension; empty when the
// path has no '.' or only a leading one.
std::string gen_data_stem(const char* path);

// One 48-pixel-high crop per character of MRZ line `line` (1 or 2) under
// "gen_data/<char>/", every fourth '<' under "gen_data/AA/", each labelled in
// "label.txt". The characters come from result.mrz (line 2 at index 44).
void get_valid_char_img(cv::Mat& image, std::vector<cv::Rect> boxes, int line, OCR_RESULT& result,
                        const char* image_path);

// 200 crops of random runs of 2 to 15 characters from the two MRZ lines under
// "gen_data/BB/", each labelled with its text in "label.txt".
void get_valid_region_img(cv::Mat& image1, std::vector<cv::Rect> boxes1, cv::Mat& image2,
                          std::vector<cv::Rect> boxes2, OCR_RESULT& result, const char* image_path);
