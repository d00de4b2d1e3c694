#pragma once

#include "nn/network.h"

float sigmoid(float x);
float relu(float x);
// Both derivatives take the pre-activation, not the activation value.
float sigmoidDerivative(float x);
float reluDerivative(float x);

// Runs the network on size(0) inputs and writes size(L-1) outputs. Uses the
// network's own value buffers (layers 0 to L-2); allocates nothing.
void evaluateNetwork(Network& net, const float* input, float* output);
