#include "speech-engine/import/ModuleSources.h"

// Mel frames of a sample segment whose first sample is only pre-emphasis context: frame j's
// window starts at sample 1 + j*hop. Pre-emphasised samples at or past audio_length are zero,
// as NeMo zeroes them past a signal's end, and a frame whose centre window reaches past the end
// is the masked final frame (0.0, not the log guard). The power is taken as the square of the
// magnitude, in NeMo's order of operations.
const char* const ModuleSources::preprocessor = R"(
def forward(self, audio: Tensor, audio_length: Tensor) -> Dict[str, Tensor]:
    samples = audio[0]
    length = int(audio_length[0])
    emphasised = samples[1:] - self.preemph * samples[:-1]
    positions = torch.arange(1, samples.size(0))
    emphasised = torch.where(positions < length, emphasised, torch.zeros_like(emphasised))
    frames = emphasised.unfold(0, self.n_fft, self.hop) * self.window
    spectrum = torch.view_as_real(torch.fft_rfft(frames))
    power = torch.sqrt(spectrum.pow(2).sum(-1)).pow(self.mag_power)
    mel = torch.log(torch.matmul(self.filterbank, power.t()) + self.log_guard)
    starts = torch.arange(0, mel.size(1)) * self.hop
    masked = starts + (1 + self.n_fft // 2 + self.hop) > length
    mel = torch.where(masked.unsqueeze(0), torch.zeros_like(mel), mel)
    return {"mel": mel.unsqueeze(0)}
)";

// One step of the prediction network: the embedding (the blank row is zero, so the blank id is
// the start symbol) and a stacked LSTM, gate rows ordered i, f, g, o, both biases added.
const char* const ModuleSources::decoder = R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    x = self.embedding.index_select(0, token.reshape(-1).long())
    hs = []
    cs = []
    for layer in range(self.layers):
        gates = torch.linear(x, self.weight_ih[layer], self.bias_ih[layer]) + \
            torch.linear(h_in[layer], self.weight_hh[layer], self.bias_hh[layer])
        parts = gates.chunk(4, 1)
        c = torch.sigmoid(parts[1]) * c_in[layer] + torch.sigmoid(parts[0]) * torch.tanh(parts[2])
        x = torch.sigmoid(parts[3]) * torch.tanh(c)
        hs.append(x)
        cs.append(c)
    return {"decoder_out": x.unsqueeze(2), "h_out": torch.stack(hs), "c_out": torch.stack(cs)}
)";

// Raw logits: greedy search needs only the arg-max, which log-softmax would not change.
const char* const ModuleSources::joint = R"(
def forward(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    f = torch.linear(encoder.transpose(1, 2), self.enc_weight, self.enc_bias)
    g = torch.linear(decoder.transpose(1, 2), self.pred_weight, self.pred_bias)
    hidden = torch.relu(f.unsqueeze(2) + g.unsqueeze(1))
    return {"logits": torch.linear(hidden, self.out_weight, self.out_bias)}
)";
