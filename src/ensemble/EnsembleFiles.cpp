#include "ensemble/EnsembleFiles.h"

#include <algorithm>

#include "ensemble/ProcessGroup.h"

EnsembleFiles::EnsembleFiles(const std::vector<Spec>& specs, const ProcessGroup& processes) {
    const bool shared = processes.size() > 1;
    files.resize(specs.size());
    std::vector<long long> starts(specs.size(), 0);
    if (processes.isLeader()) {
        for (std::size_t k = 0; k < specs.size(); ++k) {
            const PositionedFile::Layout layout{specs[k].recordBytes, {}, shared};
            files[k].reset(new File{PositionedFile(specs[k].path, true, layout), 0, specs[k].stride});
            files[k]->start = files[k]->file.sizeAtOpen();
            starts[k] = files[k]->start;
        }
    }
    processes.broadcast(starts);
    for (std::size_t k = 0; k < specs.size(); ++k) {
        if (files[k]) continue;
        const PositionedFile::Layout layout{specs[k].recordBytes, starts[k], shared};
        files[k].reset(new File{PositionedFile(specs[k].path, false, layout), starts[k], specs[k].stride});
    }
}

EnsembleWriters::EnsembleWriters(EnsembleFiles& files) : files(files) {
    writers.reserve(files.size());
    for (std::size_t k = 0; k < files.size(); ++k) {
        writers.emplace_back(files[k].file, static_cast<std::size_t>(std::clamp(files[k].stride, 1LL, kBuffer)));
    }
}

void EnsembleWriters::moveTo(long long trajectory) {
    for (std::size_t k = 0; k < writers.size(); ++k) writers[k].moveTo(files[k].start + trajectory * files[k].stride);
}
