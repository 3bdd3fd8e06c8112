// In-memory BMP files and NV21 camera frames from images.
#pragma once
#include <opencv2/core.hpp>

// Builds the complete image of a BMP file from img: 8-bit one-channel images
// become 8 bits per pixel with a grey palette, 8-bit three- (or four-)
// channel images 32 bits per pixel (blue, green, red, 255). Other element
// types get a header with their bit count and a zero pixel area. Sets size to
// the buffer's length; the caller releases the buffer with free(). Returns
// nullptr and size 0 when the buffer cannot be allocated, when its size does
// not fit an int, or for a matrix of more than two dimensions.
unsigned char* convert_Mat_to_BMP(cv::Mat& img, int& size);

// Writes length bytes of data to "out.bmp" in the working directory,
// replacing any earlier file. Failures leave no trace.
void save_bmp_to_file(unsigned char* data, int length);

// Converts width x height blue-green-red pixels (3 bytes each, rows packed)
// into NV21: the Y plane, then one V,U pair per 2x2 block, BT.601 full range
// in 14-bit fixed point. nv21 needs width*height*3/2 bytes. With an odd
// width or height the last column or row gets luma only, and the bytes of the
// output that no whole block fills are set to 128 (neutral chroma).
void BGR2NV21(unsigned char* bgr, unsigned char* nv21, int width, int height);
