// Image-quality measures: sharpness scores of one image and similarity scores
// of two, for an application that wants to reject a blurred frame before it
// scans, and the blur score that gates the line images of the permit
// photo-side readers.
//
// The measures return the measure itself, not a status (only getBlurImage,
// findBlur and checkBlur return an int status). None changes its input, keeps
// state between calls or logs. Input outside a measure's contract (a
// one-channel image where a colour one is needed, images of different sizes
// or types where two are combined) raises cv::Exception, which the measure
// does not catch. Samples are taken on the 0 to 255 scale whatever the depth.
#pragma once
#include <opencv2/core.hpp>

// ---- blur score and simple sharpness measures -------------------------------------

// Blur score of a text-line crop (8-bit, 3 or 4 channels): 0.0 for an empty
// image, 99.0 when it is narrower or lower than 20 pixels, else Thenengrad1
// of its grey image; never negative, higher is sharper. The grey conversion
// weights the first channel as red (RGB order). Images up to 99 columns wide
// are measured on the centred 18 x 18 window at (cols/2 - 9, rows/2 - 9).
float get_quality_blur(const cv::Mat& image);

// Standard deviation of the 0.5/0.5 blend of the absolute 3 x 3 Sobel
// gradients in x and y (8-bit, saturated) of an 8-bit grey image.
double Thenengrad1(const cv::Mat& gray);

// Standard deviation of the 3 x 3 Laplacian (centre -4) of the grey image of
// an 8-bit BGR or BGRA image. An empty or one-channel image raises.
float laplacian_blur_detect(const cv::Mat& image);

// dst becomes a deep copy of rect clamped to src; 0. When nothing of rect lies
// inside src, -1 and dst is left as it was.
int getBlurImage(const cv::Mat& src, cv::Rect rect, cv::Mat& dst);

// Placeholders kept for callers: both always return 0.
int findBlur(int, int);
int checkBlur(int, int);

// ---- structural similarity and PSNR ----------------------------------------------

// Mean SSIM (7 x 7 Gaussian window, sigma 1.5, no border trimmed) of the
// first channel of two images of one size and channel count; any depths.
// When the first image is larger than 1280 x 720, both are measured on the
// first's centred rectangle (cols/5, rows/5, 3*cols/5, 3*rows/5), which the
// second must contain. 1 for identical images. 0.0 when either image, or the
// measured rectangle, is empty.
double getMSSIM(const cv::Mat& a, const cv::Mat& b);

// PSNR in dB for a peak of 255 of two images of one type and size, over all
// channels. 0.0 when they do not differ (squared differences summing to at
// most 1e-10) and when either image is empty.
double getPSNR(const cv::Mat& a, const cv::Mat& b);

// ---- gradient structural similarity and no-reference sharpness -------------------

// Gradient SSIM of two one-channel images: the luminance term of getMSSIM's
// map from the images, its contrast-and-structure term from their Canny
// (51, 204) edge maps; crop, window and constants as getMSSIM. 1 for
// identical images, 0.0 when either image or the measured rectangle is
// empty. More than one channel raises.
double getGSSIM(const cv::Mat& a, const cv::Mat& b);

// No-reference structural sharpness of a one-channel image: 1 - getGSSIM of
// the block of its mixed second derivative (Sobel dx = dy = 1) that spreads
// most and the same block of its 7 x 7, sigma 6 blurred copy. Higher is
// sharper. 0.0 when no block spreads at all (a uniform image) and for images
// narrower or lower than 5 pixels, which have no blocks. More than one
// channel raises.
double getNRSS(const cv::Mat& gray);

// Block k (0 to 63, row-major on an 8 x 8 grid) of the NRSS grid over a map
// of the given size: blocks of 2/9 of the map, half a block apart, clamped
// to the map's last column and row minus one.
cv::Rect nrssGridBlock(cv::Size mapSize, int k);

// The grid block of the map (one channel) whose standard deviation is the
// largest, the lowest k among equals; an empty rectangle when none spreads.
cv::Rect nrssChosenBlock(const cv::Mat& map);

// ---- edge-based blur estimate -------------------------------------------------------

// Edge-based blur estimate of a one-channel image from its signed vertical and
// horizontal neighbour differences: inv_blur_ratio = pixels with a non-zero
// inverse-blur ratio / pixels counted as blurred, blur_edge_ratio = blurred
// pixels / edge pixels. Either may be +inf or NaN when its divisor count is 0
// (a uniform image gives 0 and +inf). More than one channel raises, and the
// outputs are then left as they were.
void comput_blur_IQA(const cv::Mat& gray, float& inv_blur_ratio, float& blur_edge_ratio);
