// A block instance as Simulink holds it, and the two kinds of MEX call that
// Simulink makes on it.
#include "internal.h"

#include <cstdint>

namespace zvhost {

namespace {

// Work vectors and port widths beyond this are not a block we can run.
constexpr int kMaxElements = 1 << 20;

size_t clampedCount(int n) {
    if (n <= 0) return 0;
    return static_cast<size_t>(n > kMaxElements ? kMaxElements : n);
}

} // namespace

Block::Block(std::string modelName, std::string path, std::vector<ArrayPtr> params)
    : modelName_(std::move(modelName)), path_(std::move(path)), params_(std::move(params)) {
    S_.modelName = modelName_.c_str();
    S_.path = path_.c_str();
    S_.root = &S_;
    S_.mdlInfo = &info_;
    S_.methods2 = &methods2_;
    S_.setNumInputPortsFcn = &Block::setNumInputPorts;
    S_.setNumInputPortsContext = this;
    S_.setNumOutputPortsFcn = &Block::setNumOutputPorts;
    S_.setNumOutputPortsContext = this;
    for (const ArrayPtr& p : params_)
        paramPtrs_.push_back(p.get());
    S_.numDialogParams = static_cast<int_T>(paramPtrs_.size());
    S_.dialogParams = paramPtrs_.empty() ? nullptr : paramPtrs_.data();
    info_.tFinal = 10.0;
    info_.hostContext = this;
    info_.setInputPortDimensionInfo = &Block::setInputDims;
    info_.setOutputPortDimensionInfo = &Block::setOutputDims;
}

Block::~Block() = default;

int_T Block::setNumInputPorts(void* context, int_T n) {
    Block* b = static_cast<Block*>(context);
    if (n < 0 || n > kMaxElements) return 0;
    b->S_.sizes[SS_SIZES_NUM_INPUT_PORTS] = n;
    b->S_.sizes[SS_SIZES_PORT_METHOD_FLAGS] |= SS_PORT_COUNTS_SET;
    b->inputPorts_.assign(static_cast<size_t>(n), ssInputPort{});
    b->inputs_.assign(static_cast<size_t>(n), InputSignal{});
    b->S_.inputPorts = n > 0 ? b->inputPorts_.data() : nullptr;
    return 1;
}

int_T Block::setNumOutputPorts(void* context, int_T n) {
    Block* b = static_cast<Block*>(context);
    if (n < 0 || n > kMaxElements) return 0;
    b->S_.sizes[SS_SIZES_NUM_OUTPUT_PORTS] = n;
    b->S_.sizes[SS_SIZES_PORT_METHOD_FLAGS] |= SS_PORT_COUNTS_SET;
    b->outputPorts_.assign(static_cast<size_t>(n), ssOutputPort{});
    b->outputs_.assign(static_cast<size_t>(n), OutputSignal{});
    b->S_.outputPorts = n > 0 ? b->outputPorts_.data() : nullptr;
    return 1;
}

int_T Block::setInputDims(SimStruct* S, int_T port, const DimsInfo_T* dims) {
    ssInputPort* p = ssInputPortRecord(S, port);
    if (!p || !dims) return 0;
    p->width = dims->width;
    return 1;
}

int_T Block::setOutputDims(SimStruct* S, int_T port, const DimsInfo_T* dims) {
    ssOutputPort* p = ssOutputPortRecord(S, port);
    if (!p || !dims) return 0;
    p->width = dims->width;
    return 1;
}

CallResult Block::initializeSizes(MexEntry entry) {
    // A double holds every user-space address exactly.
    const double address = static_cast<double>(reinterpret_cast<std::uintptr_t>(&S_));
    ArrayPtr x = makeMatrix(2, 1, {address, static_cast<double>(SIMSTRUCT_VERSION_LEVEL2)});
    ArrayPtr t = makeScalar(info_.t);
    ArrayPtr u(mxCreateDoubleMatrix(0, 0, mxREAL));
    ArrayPtr flag = makeScalar(0.0);
    const mxArray* prhs[4] = {t.get(), x.get(), u.get(), flag.get()};
    mxArray* plhs[1] = {nullptr};
    CallResult result = callMex(entry, 1, plhs, 4, prhs);
    ArrayPtr sizes(plhs[0]);
    sizesVector_.clear();
    if (sizes && mxGetPr(sizes.get()))
        sizesVector_.assign(mxGetPr(sizes.get()),
                            mxGetPr(sizes.get()) + mxGetNumberOfElements(sizes.get()));
    return result;
}

CallResult Block::callFlag(MexEntry entry, double flag, int callArg) {
    S_.sizes[SS_SIZES_CALL_ARG] = callArg;
    if (!callArgs_[0]) {
        callArgs_[0] = makeScalar(0.0);
        callArgs_[1].reset(mxCreateDoubleMatrix(0, 0, mxREAL));
        callArgs_[2].reset(mxCreateDoubleMatrix(0, 0, mxREAL));
        callArgs_[3] = makeScalar(0.0);
    }
    mxGetPr(callArgs_[0].get())[0] = info_.t;
    mxGetPr(callArgs_[3].get())[0] = flag;
    const mxArray* prhs[4] = {callArgs_[0].get(), callArgs_[1].get(), callArgs_[2].get(),
                              callArgs_[3].get()};
    // Simulink hands the SimStruct over in the second left-hand slot.
    mxArray* plhs[2] = {nullptr, reinterpret_cast<mxArray*>(&S_)};
    return callMex(entry, -1, plhs, 4, prhs);
}

void Block::allocateSampleTimes() {
    const size_t n = clampedCount(numSampleTimes());
    sampleTimes_.assign(n, 0.0);
    offsetTimes_.assign(n, 0.0);
    S_.sampleTimes = n ? sampleTimes_.data() : nullptr;
    S_.offsetTimes = n ? offsetTimes_.data() : nullptr;
}

void Block::allocateWorkAndSignals() {
    iwork_.assign(clampedCount(S_.sizes[SS_SIZES_NUM_IWORK]), 0);
    rwork_.assign(clampedCount(S_.sizes[SS_SIZES_NUM_RWORK]), 0.0);
    pwork_.assign(clampedCount(S_.sizes[SS_SIZES_NUM_PWORK]), nullptr);
    S_.iWork = iwork_.empty() ? nullptr : iwork_.data();
    S_.rWork = rwork_.empty() ? nullptr : rwork_.data();
    S_.pWork = pwork_.empty() ? nullptr : pwork_.data();
    for (size_t p = 0; p < inputPorts_.size(); ++p) {
        InputSignal& in = inputs_[p];
        in.values.assign(clampedCount(inputPorts_[p].width), 0.0);
        // One slot more than the width: a port of width 0 still gets a valid,
        // empty array, as Simulink gives it.
        in.ptrs.assign(in.values.size() + 1, nullptr);
        for (size_t i = 0; i < in.values.size(); ++i)
            in.ptrs[i] = &in.values[i];
        // Simulink provides the pointers whether or not the port feeds through.
        inputPorts_[p].signalPtrs = in.ptrs.data();
    }
    for (size_t p = 0; p < outputPorts_.size(); ++p) {
        OutputSignal& out = outputs_[p];
        out.values.assign(clampedCount(outputPorts_[p].width), 0.0);
        outputPorts_[p].signal = out.values.empty() ? nullptr : out.values.data();
    }
}

int Block::inputWidth(int port) const {
    return port >= 0 && static_cast<size_t>(port) < inputPorts_.size() ? inputPorts_[port].width
                                                                       : 0;
}

int Block::outputWidth(int port) const {
    return port >= 0 && static_cast<size_t>(port) < outputPorts_.size() ? outputPorts_[port].width
                                                                        : 0;
}

void Block::setInputWidth(int port, int width) {
    if (port >= 0 && static_cast<size_t>(port) < inputPorts_.size())
        inputPorts_[port].width = width;
}

void Block::setOutputWidth(int port, int width) {
    if (port >= 0 && static_cast<size_t>(port) < outputPorts_.size())
        outputPorts_[port].width = width;
}

double Block::sampleTime(int i) const {
    return i >= 0 && static_cast<size_t>(i) < sampleTimes_.size() ? sampleTimes_[i] : 0.0;
}

double Block::offsetTime(int i) const {
    return i >= 0 && static_cast<size_t>(i) < offsetTimes_.size() ? offsetTimes_[i] : 0.0;
}

} // namespace zvhost
