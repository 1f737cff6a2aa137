#pragma once

#include "core/face/TfliteModel.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvo {

class ModelError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    static ModelError unreadable(const std::string& reason) { return ModelError(reason); }
    static ModelError unsupported(const std::string& reason) { return ModelError(reason); }
    static ModelError inferenceFailed(const std::string& reason) { return ModelError(reason); }
};

// An embedding model run by OpenCV's DNN module: a 112 x 112 face crop in,
// the raw embedding out. TensorFlow Lite files are rebuilt as an OpenCV
// network (OpenCV 4.6 has no importer for them); ONNX files load directly.
class EmbeddingModel {
  public:
    // What the model expects, read from a JSON file beside the model with
    // the same name (FaceEmbedding.json), any key optional:
    // {"input": "image", "output": "embedding", "mean": 127.5,
    //  "scale": 0.0078125, "channels": "RGB"}. Pixels reach the model as
    // (value - mean) * scale in the given channel order.
    struct Description {
        std::string input;  // empty: the network's first input
        std::string output; // empty: the network's last output
        double mean = 127.5;
        double scale = 1.0 / 128.0;
        bool rgb = true;
    };

    // Throws ModelError (unreadable or unsupported) with the reason.
    static std::unique_ptr<EmbeddingModel> load(const std::filesystem::path& file);

    // The raw embedding of a 112 x 112 BGR crop; throws
    // ModelError::inferenceFailed with the library's words.
    std::vector<float> embed(const cv::Mat& crop);

  private:
    cv::dnn::Net net_;
    Description description_;
    std::mutex lock_; // a network runs one inference at a time
};

// The TFLite graph as an OpenCV network (NCHW), with the PReLU that the
// converter spelt out as RELU, ABS, SUB, MUL and ADD folded back into one
// layer. Throws ModelError::unsupported for operators it can't map.
cv::dnn::Net buildNetwork(const Tflite::Graph& graph);

} // namespace tarvo
