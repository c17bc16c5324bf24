// Continuous wavelet transforms by direct convolution: the convolution
// kernel, Mexican-hat rows by the integrated-wavelet method, and the CWT peak
// count on Ricker rows and the ridge lines through their maxima.
#pragma once

#include "numeric/convolution.h"  // IWYU pragma: export
#include "numeric/cwt_peaks.h"    // IWYU pragma: export
#include "numeric/mexh.h"         // IWYU pragma: export
