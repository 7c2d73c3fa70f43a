// Engine operations of the quality analysis.

#include "stackengine.h"

#include "quality.h"

float StackEngine::gradientQualityH() const
{
    return kernels::gradientQualityH(frameImage);
}

float StackEngine::gradientQualityV() const
{
    return kernels::gradientQualityV(frameImage);
}

float StackEngine::gradientQuality() const
{
    return kernels::gradientQuality(frameImage);
}
