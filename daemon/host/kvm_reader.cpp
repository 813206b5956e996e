#include "host/kvm_reader.h"

KvmReader::KvmReader() { error_ = "not built yet"; }
KvmReader::~KvmReader() = default;
CpuTimes KvmReader::cpu_times() const { return {}; }
VcpuThreads KvmReader::vcpu_threads(int) const { return {}; }
double idle_share(const CpuTimes&, const CpuTimes&) { return 0.0; }
