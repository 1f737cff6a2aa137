#include "core/face/EmbeddingModel.h"

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace tarvo {
namespace {

using Tflite::Op;

struct Builder {
    const Tflite::Graph& graph;
    cv::dnn::Net net;
    std::map<int, std::pair<int, int>> producer; // tensor -> (layer id, output)
    std::map<int, int> producingOp;              // tensor -> operator index
    std::string error;

    const Tflite::Tensor& tensor(int index) const { return graph.tensors.at(index); }

    bool connect(int tensorIndex, int layer, int input) {
        auto it = producer.find(tensorIndex);
        if (it == producer.end()) {
            error = "tensor " + tensor(tensorIndex).name + " is used before it is made";
            return false;
        }
        net.connect(it->second.first, it->second.second, layer, input);
        return true;
    }

    int add(const std::string& type, cv::dnn::LayerParams& params, const std::string& name) {
        params.type = type;
        params.name = name;
        return net.addLayer(name, type, params);
    }

    // A layer with one input tensor; its output becomes `output`.
    bool single(const std::string& type, cv::dnn::LayerParams params, int input, int output) {
        int id = add(type, params, tensor(output).name);
        if (!connect(input, id, 0)) return false;
        producer[output] = {id, 0};
        return true;
    }

    bool activation(Tflite::Activation activation, int output) {
        if (activation == Tflite::Activation::none) return true;
        cv::dnn::LayerParams params;
        auto [layer, out] = producer[output];
        std::string type = activation == Tflite::Activation::relu ? "ReLU" : "ReLU6";
        if (activation == Tflite::Activation::reluN1To1) {
            params.set("min_value", -1.0f);
            params.set("max_value", 1.0f);
        }
        int id = add(type, params, tensor(output).name + "/act");
        net.connect(layer, out, id, 0);
        producer[output] = {id, 0};
        return true;
    }

    // TFLite keeps convolution weights as [O, H, W, I] (depthwise: [1, H,
    // W, O]); OpenCV wants [O, I/group, H, W].
    bool refuse(const Tflite::Operator& op, const std::string& what) {
        error = "operator " + tensor(op.outputs[0]).name + " " + what;
        return false;
    }

    // Every value the layer is built from, checked: a damaged file must not
    // divide by zero or index past its weights.
    bool convolutionIsSound(const Tflite::Operator& op, bool depthwise) {
        if (op.inputs.size() < 2) return refuse(op, "has too few inputs");
        const auto& weights = tensor(op.inputs[1]);
        if (weights.shape.size() != 4 || weights.floats.empty())
            return refuse(op, "has no constant weights");
        for (int dim : weights.shape)
            if (dim < 1) return refuse(op, "has empty weights");
        if (depthwise && weights.shape[0] != 1)
            return refuse(op, "has depthwise weights of another shape");
        if (op.strideH < 1 || op.strideW < 1 || op.dilationH < 1 || op.dilationW < 1)
            return refuse(op, "has a stride or dilation below 1");
        int o = weights.shape[depthwise ? 3 : 0];
        if (depthwise && (op.depthMultiplier < 1 || o % op.depthMultiplier != 0))
            return refuse(op, "has a depth multiplier that does not divide its channels");
        bool hasBias = op.inputs.size() > 2 && op.inputs[2] >= 0;
        if (hasBias && tensor(op.inputs[2]).floats.size() != size_t(o))
            return refuse(op, "has a bias of the wrong size");
        return true;
    }

    bool convolution(const Tflite::Operator& op) {
        bool depthwise = op.op == Op::depthwiseConv2d;
        if (!convolutionIsSound(op, depthwise)) return false;
        const auto& weights = tensor(op.inputs[1]);
        int o = weights.shape[depthwise ? 3 : 0], h = weights.shape[1], w = weights.shape[2];
        int i = depthwise ? 1 : weights.shape[3];
        int sizes[] = {o, i, h, w};
        cv::Mat blob(4, sizes, CV_32F);
        float* out = blob.ptr<float>();
        for (int oo = 0; oo < o; ++oo)
            for (int ii = 0; ii < i; ++ii)
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        out[((oo * i + ii) * h + y) * w + x] =
                            depthwise ? weights.floats[(y * w + x) * o + oo]
                                      : weights.floats[((oo * h + y) * w + x) * i + ii];
        cv::dnn::LayerParams params;
        params.set("kernel_h", h);
        params.set("kernel_w", w);
        params.set("stride_h", op.strideH);
        params.set("stride_w", op.strideW);
        params.set("dilation_h", op.dilationH);
        params.set("dilation_w", op.dilationW);
        params.set("pad_mode", op.samePadding ? "SAME" : "VALID");
        params.set("num_output", o);
        params.set("group", depthwise ? o / op.depthMultiplier : 1);
        params.blobs.push_back(blob);
        bool hasBias = op.inputs.size() > 2 && op.inputs[2] >= 0;
        params.set("bias_term", hasBias);
        if (hasBias)
            params.blobs.push_back(cv::Mat(tensor(op.inputs[2]).floats, true).reshape(1, 1));
        return single("Convolution", params, op.inputs[0], op.outputs[0]) &&
               activation(op.activation, op.outputs[0]);
    }

    bool sum(const Tflite::Operator& op) {
        if (op.inputs.size() < 2) return refuse(op, "has too few inputs");
        cv::dnn::LayerParams params;
        params.set("operation", "sum");
        int id = add("Eltwise", params, tensor(op.outputs[0]).name);
        if (!connect(op.inputs[0], id, 0) || !connect(op.inputs[1], id, 1)) return false;
        producer[op.outputs[0]] = {id, 0};
        return activation(op.activation, op.outputs[0]);
    }

    // The operator that made a tensor, if it is of the given kind and has
    // at least `inputs` inputs.
    const Tflite::Operator* made(int tensorIndex, Op kind, size_t inputs) const {
        auto it = producingOp.find(tensorIndex);
        if (it == producingOp.end()) return nullptr;
        const auto& op = graph.operators[it->second];
        return op.op == kind && op.inputs.size() >= inputs ? &op : nullptr;
    }

    // ADD(RELU(x), MUL(SUB(x, ABS(x)), c)) is PReLU(x) with slope 2c:
    // for x < 0 it gives c * 2x.
    std::optional<std::pair<int, std::vector<float>>> prelu(const Tflite::Operator& add) const {
        for (int side = 0; side < 2; ++side) {
            const auto* relu = made(add.inputs[side], Op::relu, 1);
            const auto* mul = made(add.inputs[1 - side], Op::mul, 2);
            if (!relu || !mul) continue;
            int x = relu->inputs[0];
            for (int m = 0; m < 2; ++m) {
                const auto* sub = made(mul->inputs[m], Op::sub, 2);
                const auto& slope = tensor(mul->inputs[1 - m]);
                if (!sub || slope.floats.empty() || sub->inputs[0] != x) continue;
                const auto* abs = made(sub->inputs[1], Op::abs, 1);
                if (!abs || abs->inputs[0] != x) continue;
                std::vector<float> slopes(slope.floats);
                for (float& s : slopes)
                    s *= 2;
                return std::make_pair(x, slopes);
            }
        }
        return std::nullopt;
    }

    bool build() {
        cv::dnn::LayerParams none;
        net.setInputsNames({tensor(graph.inputs[0]).name});
        producer[graph.inputs[0]] = {0, 0};
        for (size_t i = 0; i < graph.operators.size(); ++i)
            producingOp[graph.operators[i].outputs[0]] = static_cast<int>(i);
        for (const auto& op : graph.operators) {
            if (op.inputs.empty()) return refuse(op, "has no input");
            bool ok = true;
            switch (op.op) {
            case Op::conv2d:
            case Op::depthwiseConv2d:
                ok = convolution(op);
                break;
            case Op::add:
                if (auto folded = prelu(op)) {
                    cv::dnn::LayerParams params;
                    params.blobs.push_back(cv::Mat(folded->second, true).reshape(1, 1));
                    ok = single("PReLU", params, folded->first, op.outputs[0]);
                } else {
                    ok = sum(op);
                }
                break;
            case Op::relu:
            case Op::abs:
            case Op::sub:
            case Op::mul:
                break; // parts of a PReLU, made when its ADD comes
            case Op::reshape: {
                // Only the final [N, 1, 1, C] -> [N, C], the same in NCHW.
                const auto& shape = tensor(op.inputs[0]).shape;
                if (shape.size() != 4 || shape[1] != 1 || shape[2] != 1) {
                    error = "reshape " + tensor(op.outputs[0]).name + " is not supported";
                    return false;
                }
                ok = single("Flatten", none, op.inputs[0], op.outputs[0]);
                break;
            }
            default:
                error = "operator " + std::to_string(static_cast<int>(op.op)) + " is not supported";
                return false;
            }
            if (!ok) return false;
        }
        if (!producer.count(graph.outputs[0])) {
            error = "the model's output is never made (an operator pattern was not recognised)";
            return false;
        }
        return true;
    }
};

EmbeddingModel::Description describe(const std::filesystem::path& model) {
    EmbeddingModel::Description description;
    std::ifstream file(std::filesystem::path(model).replace_extension(".json"));
    if (!file) return description;
    std::stringstream text;
    text << file.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    if (!json.is_object()) return description;
    description.input = json.value("input", description.input);
    description.output = json.value("output", description.output);
    description.mean = json.value("mean", description.mean);
    description.scale = json.value("scale", description.scale);
    description.rgb = json.value("channels", std::string("RGB")) != "BGR";
    return description;
}

} // namespace

cv::dnn::Net buildNetwork(const Tflite::Graph& graph) {
    Builder builder{graph, {}, {}, {}, {}};
    bool built = false;
    // OpenCV and an index past the graph's tensors throw; both mean this
    // graph can't be built.
    try {
        built = builder.build();
    } catch (const std::exception& failure) {
        throw ModelError::unsupported(failure.what());
    }
    if (!built) throw ModelError::unsupported(builder.error);
    return builder.net;
}

std::unique_ptr<EmbeddingModel> EmbeddingModel::load(const std::filesystem::path& file) {
    auto model = std::unique_ptr<EmbeddingModel>(new EmbeddingModel);
    model->description_ = describe(file);
    if (file.extension() == ".onnx") {
        try {
            model->net_ = cv::dnn::readNetFromONNX(file.string());
        } catch (const std::exception& failure) {
            throw ModelError::unreadable(failure.what());
        }
    } else {
        std::ifstream in(file, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        if (!in) throw ModelError::unreadable(file.string() + " cannot be read");
        try {
            model->net_ = buildNetwork(Tflite::parse(bytes.str()));
        } catch (const Tflite::ParseError& failure) {
            throw ModelError::unreadable(failure.what());
        }
    }
    model->net_.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    model->net_.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    return model;
}

std::vector<float> EmbeddingModel::embed(const cv::Mat& crop) {
    const auto& d = description_;
    cv::Mat blob = cv::dnn::blobFromImage(crop, d.scale, cv::Size(112, 112),
                                          cv::Scalar::all(d.mean), d.rgb, false, CV_32F);
    std::lock_guard guard(lock_);
    try {
        net_.setInput(blob, d.input);
        cv::Mat out = d.output.empty() ? net_.forward() : net_.forward(d.output);
        cv::Mat flat = out.reshape(1, 1);
        return std::vector<float>(flat.begin<float>(), flat.end<float>());
    } catch (const cv::Exception& failure) {
        throw ModelError::inferenceFailed(failure.what());
    }
}

} // namespace tarvo
