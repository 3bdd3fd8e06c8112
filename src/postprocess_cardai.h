// Card corners from the card detector's boxes: the box whose four corner
// keypoints span a rectangle of the size a card has in the working image is
// chosen, its corners handed out, and the motion gate asked whether the card
// moved since the previous frame.
#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "scrfd.h"

// Expected card size in the working image (about 400 pixels wide), by camera.
constexpr int kCardLongOldCamera = 254;
constexpr int kCardShortOldCamera = 159;
constexpr int kCardLongNewCamera = 219;
constexpr int kCardShortNewCamera = 138;

// image: the working image (bounds for the fallback rule, picture for the
// debug window); camera: 1 the old camera, anything else the new one; boxes:
// the detector's boxes (read only); corners: the chosen card's four corners
// are appended (in cv::RotatedRect::points order of its classic-convention
// rectangle, rounded half to even); scale: working image to frame.
// Returns 0, -1 when no box passes the size rules (corners unchanged), or -80
// when the card moved (the corners are appended all the same).
int postprocess_card_ai(cv::Mat& image, int camera, std::vector<BoxfWithLandmarksType>& boxes,
                        std::vector<cv::Point>& corners, float scale);
