#include "core/face/TfliteModel.h"

#include <cstring>
#include <limits>

namespace tarvo::Tflite {
namespace {

// A bounds-checked view of one flatbuffer. Any read outside the buffer
// marks it bad and yields zero, so parsing can carry on and fail once.
class Buffer {
  public:
    explicit Buffer(std::string_view bytes) : bytes_(bytes) {}
    bool bad() const { return bad_; }

    template <typename T> T read(size_t at) {
        T value{};
        if (at > bytes_.size() || bytes_.size() - at < sizeof(T)) {
            bad_ = true;
            return value;
        }
        std::memcpy(&value, bytes_.data() + at, sizeof(T));
        return value;
    }
    std::string_view slice(size_t at, size_t length) {
        if (at > bytes_.size() || bytes_.size() - at < length) {
            bad_ = true;
            return {};
        }
        return bytes_.substr(at, length);
    }
    void fail() { bad_ = true; }

  private:
    std::string_view bytes_;
    bool bad_ = false;
};

// A table: fields found through its vtable. Absent fields read as defaults.
class Table {
  public:
    Table(Buffer& buffer, size_t at) : buffer_(&buffer), at_(at) {
        std::int64_t vtable = static_cast<std::int64_t>(at) - buffer.read<std::int32_t>(at);
        if (vtable < 0) buffer.fail();
        vtable_ = vtable < 0 ? 0 : static_cast<size_t>(vtable);
        vtableSize_ = buffer.read<std::uint16_t>(vtable_);
    }

    template <typename T> T scalar(int field, T fallback) const {
        size_t offset = fieldOffset(field);
        return offset ? buffer_->read<T>(at_ + offset) : fallback;
    }
    // Where an offset field points: a table, vector or string; 0 if absent.
    size_t target(int field) const {
        size_t offset = fieldOffset(field);
        if (!offset) return 0;
        size_t at = at_ + offset;
        return at + buffer_->read<std::uint32_t>(at);
    }
    std::optional<Table> table(int field) const {
        size_t at = target(field);
        if (!at) return std::nullopt;
        return Table(*buffer_, at);
    }
    // A vector's element count and where its elements begin.
    std::pair<size_t, size_t> vector(int field) const {
        size_t at = target(field);
        if (!at) return {0, 0};
        size_t count = buffer_->read<std::uint32_t>(at);
        return {count, at + 4};
    }
    template <typename T> std::vector<T> scalars(int field) const {
        auto [count, at] = vector(field);
        std::string_view bytes = buffer_->slice(at, count * sizeof(T));
        std::vector<T> out(bytes.size() / sizeof(T));
        if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
        return out;
    }
    std::vector<Table> tables(int field) const {
        auto [count, at] = vector(field);
        std::vector<Table> out;
        if (!buffer_->slice(at, count * 4).data() && count) return out;
        for (size_t i = 0; i < count && !buffer_->bad(); ++i) {
            size_t element = at + 4 * i;
            out.emplace_back(*buffer_, element + buffer_->read<std::uint32_t>(element));
        }
        return out;
    }
    std::string string(int field) const {
        size_t at = target(field);
        if (!at) return {};
        return std::string(buffer_->slice(at + 4, buffer_->read<std::uint32_t>(at)));
    }

  private:
    size_t fieldOffset(int field) const {
        size_t entry = 4 + 2 * static_cast<size_t>(field);
        if (entry + 2 > vtableSize_) return 0;
        return buffer_->read<std::uint16_t>(vtable_ + entry);
    }

    Buffer* buffer_;
    size_t at_;
    size_t vtable_ = 0;
    std::uint16_t vtableSize_ = 0;
};

// Field numbers of the schema's tables.
enum ModelField { modelOperatorCodes = 1, modelSubgraphs = 2, modelBuffers = 4 };
enum CodeField { codeDeprecated = 0, codeBuiltin = 3 };
enum GraphField { graphTensors = 0, graphInputs = 1, graphOutputs = 2, graphOperators = 3 };
enum TensorField { tensorShape = 0, tensorType = 1, tensorBuffer = 2, tensorName = 3 };
enum OperatorField { opCode = 0, opInputs = 1, opOutputs = 2, opOptions = 4 };

constexpr std::int8_t float32 = 0, int32 = 2;
constexpr size_t maxElements = 64u << 20;

bool readConstant(Tensor& tensor, std::string_view data) {
    if (data.empty()) return true;
    // Whole values only; this also keeps a buffer of 1 to 3 bytes from
    // copying into a vector that has no storage.
    if (data.size() % 4 != 0) return false;
    if (tensor.type == float32) {
        tensor.floats.resize(data.size() / 4);
        std::memcpy(tensor.floats.data(), data.data(), tensor.floats.size() * 4);
    } else if (tensor.type == int32) {
        tensor.ints.resize(data.size() / 4);
        std::memcpy(tensor.ints.data(), data.data(), tensor.ints.size() * 4);
    }
    return true;
}

// Conv2DOptions and DepthwiseConv2DOptions share their fields but for the
// depth multiplier, which the depthwise table has after the strides.
void readConvolution(Operator& op, const Table& options, bool depthwise) {
    int after = depthwise ? 1 : 0;
    op.samePadding = options.scalar<std::int8_t>(0, 0) == 0;
    op.strideW = options.scalar<std::int32_t>(1, 1);
    op.strideH = options.scalar<std::int32_t>(2, 1);
    if (depthwise) op.depthMultiplier = options.scalar<std::int32_t>(3, 1);
    op.activation = static_cast<Activation>(options.scalar<std::int8_t>(3 + after, 0));
    op.dilationW = options.scalar<std::int32_t>(4 + after, 1);
    op.dilationH = options.scalar<std::int32_t>(5 + after, 1);
}

void readOptions(Operator& op, const Table& options) {
    switch (op.op) {
    case Op::conv2d:
    case Op::depthwiseConv2d:
        readConvolution(op, options, op.op == Op::depthwiseConv2d);
        break;
    case Op::add:
    case Op::sub:
    case Op::mul:
        op.activation = static_cast<Activation>(options.scalar<std::int8_t>(0, 0));
        break;
    default:
        break;
    }
}

} // namespace

Graph parse(std::string_view file) {
    Buffer buffer(file);
    if (file.size() < 8 || file.substr(4, 4) != "TFL3")
        throw ParseError::damaged("not a TensorFlow Lite model");
    Table model(buffer, buffer.read<std::uint32_t>(0));
    std::vector<std::int32_t> codes;
    for (const Table& code : model.tables(modelOperatorCodes)) {
        std::int32_t builtin = code.scalar<std::int32_t>(codeBuiltin, 0);
        // Old files keep codes below 127 in the deprecated byte only.
        codes.push_back(
            std::max<std::int32_t>(builtin, code.scalar<std::int8_t>(codeDeprecated, 0)));
    }
    std::vector<Table> buffers = model.tables(modelBuffers);
    std::vector<Table> subgraphs = model.tables(modelSubgraphs);
    if (subgraphs.empty() || buffer.bad()) throw ParseError::damaged("the model has no graph");
    const Table& subgraph = subgraphs.front();
    Graph graph;
    for (const Table& t : subgraph.tables(graphTensors)) {
        Tensor tensor;
        tensor.name = t.string(tensorName);
        tensor.shape = t.scalars<std::int32_t>(tensorShape);
        tensor.type = t.scalar<std::int8_t>(tensorType, 0);
        std::uint32_t index = t.scalar<std::uint32_t>(tensorBuffer, 0);
        size_t elements = 1;
        for (std::int32_t dim : tensor.shape) {
            if (dim < 0 || (dim > 0 && elements > maxElements / static_cast<size_t>(dim)))
                throw ParseError::damaged("tensor " + tensor.name + " has an impossible shape");
            elements *= static_cast<size_t>(dim);
        }
        if (index > 0 && index < buffers.size()) {
            auto [count, at] = buffers[index].vector(0);
            if (!readConstant(tensor, buffer.slice(at, count)) ||
                (tensor.isConstant() && tensor.floats.size() + tensor.ints.size() != elements))
                throw ParseError::damaged("tensor " + tensor.name + " does not match its data");
        }
        graph.tensors.push_back(std::move(tensor));
    }
    graph.inputs = subgraph.scalars<std::int32_t>(graphInputs);
    graph.outputs = subgraph.scalars<std::int32_t>(graphOutputs);
    auto valid = [&](const std::vector<std::int32_t>& indices) {
        for (std::int32_t i : indices)
            if (i < -1 || i >= static_cast<std::int32_t>(graph.tensors.size())) return false;
        return true;
    };
    for (const Table& o : subgraph.tables(graphOperators)) {
        Operator op;
        std::uint32_t codeIndex = o.scalar<std::uint32_t>(opCode, 0);
        if (codeIndex >= codes.size()) throw ParseError::damaged("an operator has no code");
        op.op = static_cast<Op>(codes[codeIndex]);
        op.inputs = o.scalars<std::int32_t>(opInputs);
        op.outputs = o.scalars<std::int32_t>(opOutputs);
        if (auto options = o.table(opOptions)) readOptions(op, *options);
        if (!valid(op.inputs) || !valid(op.outputs) || op.outputs.empty())
            throw ParseError::damaged("an operator names a tensor that does not exist");
        graph.operators.push_back(std::move(op));
    }
    if (buffer.bad() || !valid(graph.inputs) || !valid(graph.outputs) || graph.inputs.empty() ||
        graph.outputs.empty())
        throw ParseError::damaged("the model file is damaged");
    return graph;
}

} // namespace tarvo::Tflite
