#pragma once

#include "speech-engine/runtime/Int8Linear.h"

#include <QFile>
#include <QStringList>

#include <vector>

// The int8 kernels this processor runs, from its flags as /proc/cpuinfo names them: read apart
// from the check production uses, slowest first.
inline std::vector<Int8Linear::Kernel> kernelsOfThisProcessor() {
    QFile cpuinfo("/proc/cpuinfo");
    QStringList flags;
    if (cpuinfo.open(QIODevice::ReadOnly | QIODevice::Text))
        for (const auto& line : QString::fromLatin1(cpuinfo.readAll()).split('\n'))
            if (line.startsWith("flags")) {
                flags = line.section(':', 1).split(' ', Qt::SkipEmptyParts);
                break;
            }
    std::vector<Int8Linear::Kernel> kernels{Int8Linear::Kernel::portable};
    if (flags.contains("avx2"))
        kernels.push_back(Int8Linear::Kernel::avx2);
    if (flags.contains("avx512_vnni") && flags.contains("avx512bw"))
        kernels.push_back(Int8Linear::Kernel::avx512Vnni);
    return kernels;
}
