#include "speech-engine/import/modules/ModuleSources.h"

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

// One step of the prediction network: a stacked LSTM, gate rows ordered i, f, g, o, both biases
// added. The first layer's input term depends on the token alone, so it is a table row: the
// embedding (whose blank row is zero, so the blank id is the start symbol) times the input
// weights, plus the input bias, for every token. One token at a time, the products are
// matrix-vector ones: as one-row matrix products they took four times as long.
const char* const ModuleSources::decoder = R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    input_gates = self.token_gates.index_select(0, token.reshape(-1).long())[0]
    x = input_gates
    hs = []
    cs = []
    for layer in range(self.layers):
        if layer > 0:
            input_gates = torch.addmv(self.upper_bias_ih[layer - 1], self.upper_weight_ih[layer - 1], x)
        gates = torch.addmv(input_gates + self.bias_hh[layer], self.weight_hh[layer], h_in[layer, 0])
        parts = gates.chunk(4, 0)
        c = torch.sigmoid(parts[1]) * c_in[layer, 0] + torch.sigmoid(parts[0]) * torch.tanh(parts[2])
        x = torch.sigmoid(parts[3]) * torch.tanh(c)
        hs.append(x)
        cs.append(c)
    return {"decoder_out": x.reshape(1, -1, 1), "h_out": torch.stack(hs).unsqueeze(1),
            "c_out": torch.stack(cs).unsqueeze(1)}
)";

// Raw logits: greedy search needs only the arg-max, which log-softmax would not change. The
// two projections into the joint's hidden space are methods of their own, so that decoding
// projects each encoder frame and each prediction once, not once per (frame, symbol) pair:
// `joint_projected` is the part that depends on both.
const char* const ModuleSources::joint = R"(
def project_encoder(self, encoder: Tensor) -> Dict[str, Tensor]:
    return {"projected": torch.linear(encoder.transpose(1, 2), self.enc_weight, self.enc_bias)}

def project_decoder(self, decoder: Tensor) -> Dict[str, Tensor]:
    return {"projected": torch.linear(decoder.transpose(1, 2), self.pred_weight, self.pred_bias)}

def joint_projected(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    hidden = torch.relu(encoder.unsqueeze(2) + decoder.unsqueeze(1))
    return {"logits": torch.linear(hidden, self.out_weight, self.out_bias)}

def forward(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    return self.joint_projected(self.project_encoder(encoder)["projected"],
                                self.project_decoder(decoder)["projected"])
)";
