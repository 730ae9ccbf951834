#include "kernels/fast_kernels.h"
#include "kernels/fft.h"

namespace kalvento::KALVENTO_FAST_NS {

void fft_forward(std::int32_t n, double* data)
{
    kalvento::fft_forward(n, data);
}
void fft_backward(std::int32_t n, double* data)
{
    kalvento::fft_backward(n, data);
}
void fft_transform_pair(std::int32_t n, double* data)
{
    kalvento::fft_transform_pair(n, data);
}

} // namespace kalvento::KALVENTO_FAST_NS
