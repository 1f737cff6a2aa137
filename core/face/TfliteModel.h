#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Just enough of the TensorFlow Lite file format to rebuild a float
// convolutional network elsewhere: tensors with their constant data and the
// operators with their options. Every offset is checked; a damaged file
// gives an error, never a crash.
namespace tarvo::Tflite {

class ParseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    static ParseError damaged(const std::string& reason) { return ParseError(reason); }
};

enum class Op : std::int32_t {
    add = 0,
    conv2d = 3,
    depthwiseConv2d = 4,
    mul = 18,
    relu = 19,
    reshape = 22,
    relu6 = 21,
    sub = 41,
    prelu = 54,
    abs = 101,
};

enum class Activation : std::int8_t { none = 0, relu = 1, reluN1To1 = 2, relu6 = 3 };

struct Tensor {
    std::string name;
    std::vector<std::int32_t> shape;
    std::int8_t type = 0;           // 0 float32, 2 int32
    std::vector<float> floats;      // constant float data, if any
    std::vector<std::int32_t> ints; // constant int32 data, if any
    bool isConstant() const { return !floats.empty() || !ints.empty(); }
};

struct Operator {
    Op op{};
    std::vector<std::int32_t> inputs, outputs; // tensor indices, -1 for none
    bool samePadding = true;
    std::int32_t strideW = 1, strideH = 1, dilationW = 1, dilationH = 1, depthMultiplier = 1;
    Activation activation = Activation::none;
};

struct Graph {
    std::vector<Tensor> tensors;
    std::vector<std::int32_t> inputs, outputs;
    std::vector<Operator> operators;
};

// The first subgraph of a model file. Throws ParseError saying what is wrong.
Graph parse(std::string_view file);

} // namespace tarvo::Tflite
