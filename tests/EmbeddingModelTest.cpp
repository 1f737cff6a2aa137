#include "core/face/EmbeddingModel.h"

#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace Tflite = tarvo::Tflite;
using Tflite::Op;

namespace {

const std::string modelPath = tarvo::sandbox::tree::data("model/FaceEmbedding.tflite");
const std::string stillPath = tarvo::sandbox::tree::data("franck/franck_02159.jpg");

// A plain interpreter of the TFLite graph, straight from the operators'
// definitions (NHWC, batch 1, float), to check the rebuilt network against.
struct Value {
    std::vector<int> shape; // N, H, W, C (or as the tensor says)
    std::vector<float> data;
};

class Reference {
  public:
    explicit Reference(const Tflite::Graph& graph) : graph_(graph) {}

    std::vector<float> run(const Value& input) {
        values_.clear();
        values_[graph_.inputs[0]] = input;
        for (const auto& op : graph_.operators)
            values_[op.outputs[0]] = apply(op);
        return values_[graph_.outputs[0]].data;
    }

  private:
    Value get(int index) {
        auto it = values_.find(index);
        if (it != values_.end()) return it->second;
        const auto& t = graph_.tensors[index];
        return {t.shape, t.floats};
    }

    static float activate(float v, Tflite::Activation a) {
        if (a == Tflite::Activation::relu) return std::max(v, 0.0f);
        if (a == Tflite::Activation::relu6) return std::min(std::max(v, 0.0f), 6.0f);
        if (a == Tflite::Activation::reluN1To1) return std::min(std::max(v, -1.0f), 1.0f);
        return v;
    }

    static int samePad(int in, int out, int stride, int kernel, int dilation) {
        int total = std::max((out - 1) * stride + (kernel - 1) * dilation + 1 - in, 0);
        return total / 2;
    }

    Value convolution(const Tflite::Operator& op) {
        Value in = get(op.inputs[0]);
        const auto& w = graph_.tensors[op.inputs[1]];
        bool dw = op.op == Op::depthwiseConv2d;
        int H = in.shape[1], W = in.shape[2], C = in.shape[3];
        int O = w.shape[dw ? 3 : 0], KH = w.shape[1], KW = w.shape[2];
        int OH = op.samePadding ? (H + op.strideH - 1) / op.strideH
                                : (H - (KH - 1) * op.dilationH - 1) / op.strideH + 1;
        int OW = op.samePadding ? (W + op.strideW - 1) / op.strideW
                                : (W - (KW - 1) * op.dilationW - 1) / op.strideW + 1;
        int padH = op.samePadding ? samePad(H, OH, op.strideH, KH, op.dilationH) : 0;
        int padW = op.samePadding ? samePad(W, OW, op.strideW, KW, op.dilationW) : 0;
        const float* bias = op.inputs.size() > 2 && op.inputs[2] >= 0
                                ? graph_.tensors[op.inputs[2]].floats.data()
                                : nullptr;
        Value out{{1, OH, OW, O}, std::vector<float>(size_t(OH) * OW * O)};
        for (int oy = 0; oy < OH; ++oy)
            for (int ox = 0; ox < OW; ++ox)
                for (int o = 0; o < O; ++o) {
                    float sum = bias ? bias[o] : 0.0f;
                    for (int ky = 0; ky < KH; ++ky)
                        for (int kx = 0; kx < KW; ++kx) {
                            int y = oy * op.strideH - padH + ky * op.dilationH;
                            int x = ox * op.strideW - padW + kx * op.dilationW;
                            if (y < 0 || y >= H || x < 0 || x >= W) continue;
                            const float* px = &in.data[(size_t(y) * W + x) * C];
                            if (dw) {
                                sum +=
                                    px[o / op.depthMultiplier] * w.floats[(ky * KW + kx) * O + o];
                            } else {
                                const float* k = &w.floats[((size_t(o) * KH + ky) * KW + kx) * C];
                                for (int c = 0; c < C; ++c)
                                    sum += px[c] * k[c];
                            }
                        }
                    out.data[(size_t(oy) * OW + ox) * O + o] = activate(sum, op.activation);
                }
        return out;
    }

    // Elementwise with a broadcast of the smaller operand over the last axis.
    Value binary(const Tflite::Operator& op) {
        Value a = get(op.inputs[0]), b = get(op.inputs[1]);
        if (a.data.size() < b.data.size())
            std::swap(a, b); // all three are commutative here but SUB
        Value out = a;
        for (size_t i = 0; i < a.data.size(); ++i) {
            float x = a.data[i], y = b.data[i % b.data.size()];
            float v = op.op == Op::add ? x + y : op.op == Op::mul ? x * y : x - y;
            out.data[i] = activate(v, op.activation);
        }
        return out;
    }

    Value apply(const Tflite::Operator& op) {
        switch (op.op) {
        case Op::conv2d:
        case Op::depthwiseConv2d:
            return convolution(op);
        case Op::add:
        case Op::mul:
        case Op::sub:
            return binary(op);
        case Op::relu:
        case Op::abs: {
            Value v = get(op.inputs[0]);
            for (float& x : v.data)
                x = op.op == Op::relu ? std::max(x, 0.0f) : std::fabs(x);
            return v;
        }
        case Op::reshape: {
            Value v = get(op.inputs[0]);
            v.shape = {1, int(v.data.size())};
            return v;
        }
        default:
            ADD_FAILURE() << "reference lacks operator " << int(op.op);
            return {};
        }
    }

    const Tflite::Graph& graph_;
    std::map<int, Value> values_;
};

cv::Mat crop() {
    cv::Mat still = cv::imread(stillPath, cv::IMREAD_COLOR);
    cv::Mat small;
    cv::resize(still, small, cv::Size(112, 112), 0, 0, cv::INTER_AREA);
    return small;
}

// A damaged file is refused, never crashed on.
TEST(EmbeddingModelTest, DamagedFilesAreRefused) {
    std::string file = tarvo::sandbox::readFile(modelPath);
    std::string wrong = file;
    wrong[4] = 'X';
    for (const std::string& damaged :
         {std::string(), file.substr(0, 4096), file.substr(0, file.size() / 2), wrong})
        EXPECT_THROW(Tflite::parse(damaged), Tflite::ParseError) << damaged.size() << " bytes";
}

// One value changed in an otherwise sound graph: refused with a reason,
// never a crash (a depth multiplier of 0 once divided by zero).
TEST(EmbeddingModelTest, ImpossibleLayerValuesAreRefused) {
    const auto sound = Tflite::parse(tarvo::sandbox::readFile(modelPath));
    auto depthwise = [](Tflite::Graph& g) -> Tflite::Operator& {
        for (auto& op : g.operators)
            if (op.op == Tflite::Op::depthwiseConv2d) return op;
        throw std::runtime_error("no depthwise convolution");
    };
    std::vector<std::pair<const char*, std::function<void(Tflite::Graph&)>>> damages = {
        {"depth multiplier 0", [&](auto& g) { depthwise(g).depthMultiplier = 0; }},
        {"depth multiplier 7", [&](auto& g) { depthwise(g).depthMultiplier = 7; }},
        {"stride 0", [&](auto& g) { depthwise(g).strideH = 0; }},
        {"no weights", [&](auto& g) { depthwise(g).inputs.resize(1); }},
        {"no inputs", [&](auto& g) { g.operators.back().inputs.clear(); }},
        {"short bias", [&](auto& g) { g.tensors[depthwise(g).inputs[2]].floats.pop_back(); }},
    };
    for (auto& [name, damage] : damages) {
        Tflite::Graph graph = sound;
        damage(graph);
        EXPECT_THROW(tarvo::buildNetwork(graph), tarvo::ModelError) << name;
    }
}

TEST(EmbeddingModelTest, RebuiltNetworkMatchesTheReferenceOnARealCrop) {
    auto graph = Tflite::parse(tarvo::sandbox::readFile(modelPath));
    auto model = tarvo::EmbeddingModel::load(modelPath);

    cv::Mat face = crop();
    std::vector<float> ours = model->embed(face);
    ASSERT_EQ(ours.size(), 192u);

    cv::Mat rgb;
    cv::cvtColor(face, rgb, cv::COLOR_BGR2RGB);
    Value input{{1, 112, 112, 3}, {}};
    for (int y = 0; y < 112; ++y)
        for (int x = 0; x < 112; ++x)
            for (int c = 0; c < 3; ++c)
                input.data.push_back((rgb.at<cv::Vec3b>(y, x)[c] - 127.5f) / 128.0f);
    std::vector<float> reference = Reference(graph).run(input);
    ASSERT_EQ(reference.size(), 192u);
    double largest = 0, worst = 0;
    for (size_t i = 0; i < 192; ++i) {
        largest = std::max(largest, double(std::fabs(reference[i])));
        worst = std::max(worst, double(std::fabs(reference[i] - ours[i])));
    }
    EXPECT_GT(largest, 0.01) << "a real embedding, not zeros";
    EXPECT_LT(worst, 1e-4 * std::max(1.0, largest)) << "largest difference " << worst;
}

} // namespace
