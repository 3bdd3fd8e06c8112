// Hand-over of accepted character boxes to matching and reading.
//
// A segmentation driver calls one of these exactly once after it has accepted
// a line pair (or the APEC card's third line): the mapping works in place, so
// a second call would move the boxes again.
#pragma once
#include <opencv2/core.hpp>

// Maps g_posRect1_rgb and g_posRect2_rgb from the bordered binarised lines onto
// the colour lines (cut at their edges, at least 1 x 1 pixel), keeps deep
// copies of the colour lines in g_rapidRec_line_1/2, derives the average
// character pitch and height from the inner boxes of g_posRect2 into
// g_aCharWidth/g_aCharHeight (logging the template sheet that width selects),
// and rebuilds g_posRect_no_blank from the ink of
// g_line12 inside every box of g_posRect (the box itself when it holds no
// ink), cut to g_line12.
// count2 is the number of line-2 boxes; at most the length of g_posRect2 is
// used, and with fewer than 3 boxes the character size keeps its old value.
// count1 is not used.
void fix_posRect(cv::Mat& colour1, cv::Mat& colour2, int count1, int count2);

// Maps g_posRect3_rgb onto colour line 3 and keeps a deep copy of it in
// g_rapidRec_line_3. The count is not used; the character size and the
// ink-tight boxes of the first two lines stay.
void fix_posRect_one(cv::Mat& colour3, int count3);
