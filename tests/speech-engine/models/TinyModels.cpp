#include "tests/speech-engine/models/TinyModels.h"

#include <QJsonArray>
#include <algorithm>

const std::string TinyModels::preprocessor = R"(
def forward(self, audio: Tensor, audio_length: Tensor) -> Dict[str, Tensor]:
    size = audio.size(1)
    length = int(audio_length[0])
    signal = torch.where(torch.arange(size) < length, audio[0], torch.zeros(size))
    starts = torch.arange((size - 513) // 160 + 1) * 160
    centre = signal[starts + 257]
    kept = (starts + 417 <= length).float()
    frames = torch.stack([centre, signal[starts + 1], signal[starts + 512], signal[starts],
                          centre, centre, centre, centre]) * kept
    return {"mel": frames.unsqueeze(0)}
)";

const std::string TinyModels::spellingEncoder = R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
    values = mel[0, 0, 9:].round().long() - 1
    ids = torch.where(values < 0, torch.full_like(values, 128), values)
    return {"encoded": torch.one_hot(ids, 129).t().unsqueeze(0).float(),
            "cache_channel_out": cache_channel + 1.0, "cache_time_out": cache_time,
            "cache_len_out": cache_len + 1}
)";

const std::string TinyModels::decoder = R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    t = token.reshape(-1).long()
    marked = torch.one_hot(t, 129).float() * (t != 128).float().unsqueeze(1)
    return {"decoder_out": marked.t().unsqueeze(0), "h_out": h_in + 1.0, "c_out": c_in - 1.0}
)";

std::string TinyModels::jointScoring(const std::string& body) {
    return R"(
def project_encoder(self, encoder: Tensor) -> Dict[str, Tensor]:
    return {"projected": encoder.transpose(1, 2)}

def project_decoder(self, decoder: Tensor) -> Dict[str, Tensor]:
    return {"projected": -10.0 * decoder.transpose(1, 2)}

def joint_projected(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
)" + body + "\n";
}

const std::string TinyModels::joint = jointScoring(R"(
    bias = torch.zeros(129)
    bias[128] = 0.5
    return {"logits": (encoder + decoder + bias).reshape(1, 1, 1, 129)})");

QJsonObject TinyModels::metadata() {
    return {{"chunk_ms", 560},
            {"chunk_mel_frames", 56},
            {"total_mel_frames", 65},
            {"mel_features", 8},
            {"vocab_size", 128},
            {"blank_idx", 128},
            {"encoder_dim", 129},
            {"decoder_hidden", 4},
            {"decoder_layers", 1},
            {"cache_channel_shape", QJsonArray{1, 2, 3, 4}},
            {"cache_time_shape", QJsonArray{1, 2, 4, 2}}};
}

PcmBuffer TinyModels::monoSamples(int count, float value) {
    PcmBuffer buffer(PcmFormat{16000, 1, SampleType::float32, false}, count);
    std::ranges::fill(buffer.samples<float>(0), value);
    return buffer;
}

PcmBuffer TinyModels::chunkEmitting(const QList<int>& tokens) {
    auto buffer = monoSamples(chunkSamples);
    auto samples = buffer.samples<float>(0);
    for (int frame = 0; frame < tokens.size(); ++frame)
        samples[160 * frame] = float(tokens[frame] + 1);
    return buffer;
}
