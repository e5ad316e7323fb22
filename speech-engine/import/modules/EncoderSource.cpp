#include "speech-engine/import/modules/EncoderSource.h"

namespace {

// One cache-aware streaming step of NeMo's FastConformer encoder (batch 1, eval mode), in
// NeMo's order of operations. The mel window starts with the pre-encode cache, whose first
// `drop_frames` subsampled frames are dropped. Attention keys are the cached rows followed by
// the chunk; positions always span all of them. The channel cache holds each layer's projected
// keys and values ([rows, 2·d_model]) rather than its normalised input, so a step projects only
// its own rows; its rows older than cache_len are invalid. The position projection of every
// relative position a step can use is a constant per layer, sliced for the step's length.
// Per-layer tensors are stacked over the layers; linear layers are lists of one entry per
// layer. Frames past the valid length run through the same maths as NeMo's padding.
// `forward_layers` also returns each layer's output, [layers, frames, d_model], for checking
// one build against another; both share `step`, which the compiler inlines into each.
const char* const step = R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
    return self.step(mel, mel_length, cache_channel, cache_time, cache_len)[0]

def forward_layers(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor,
                   cache_time: Tensor, cache_len: Tensor) -> Dict[str, Tensor]:
    out, layer_out = self.step(mel, mel_length, cache_channel, cache_time, cache_len)
    out["layer_outputs"] = torch.stack(layer_out)
    return out

def step(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
         cache_len: Tensor) -> Tuple[Dict[str, Tensor], List[Tensor]]:
    x, length = self.subsample(mel, int(mel_length[0]))
    x = x * self.xscale
    frames = x.size(0)
    if frames > self.chunk_frames:
        raise Exception("The mel window holds more frames than one chunk")
    keys = self.cache_size + frames
    blocked = self.attention_mask(frames, length, cache_len)
    padded = (torch.arange(frames) >= length).unsqueeze(1)
    channel_out: List[Tensor] = []
    time_out: List[Tensor] = []
    layer_out: List[Tensor] = []
    for l in range(self.layers):
        positions = self.position_terms[l].narrow(0, self.max_keys - keys, 2 * keys - 1)
        x, channel, time = self.layer(x, positions, blocked, padded, cache_channel[0, l],
                                      cache_time[0, l], l)
        channel_out.append(channel)
        time_out.append(time)
        layer_out.append(x)
    return {"encoded": self.condition(x).t().unsqueeze(0),
            "cache_channel_out": torch.stack(channel_out).unsqueeze(0),
            "cache_time_out": torch.stack(time_out).unsqueeze(0),
            "cache_len_out": torch.clamp(cache_len + frames, max=self.cache_size)}, layer_out

def subsample(self, mel: Tensor, length: int) -> Tuple[Tensor, int]:
    x = self.time_masked(mel.transpose(1, 2).unsqueeze(1), length)
    x = torch.conv2d(self.causal_pad(x), self.conv0_weight, self.conv0_bias, [2, 2])
    length = length // 2 + 1
    x = torch.relu(self.time_masked(x, length))
    x, length = self.separable_stage(x, length, self.conv2_weight, self.conv2_bias,
                                     self.conv3_weight, self.conv3_bias)
    x, length = self.separable_stage(x, length, self.conv5_weight, self.conv5_bias,
                                     self.conv6_weight, self.conv6_bias)
    x = x[0].transpose(0, 1)
    x = torch.linear(x.reshape(x.size(0), -1), self.pre_encode_out_weight, self.pre_encode_out_bias)
    return x[self.drop_frames:], max(length - self.drop_frames, 0)

def separable_stage(self, x: Tensor, length: int, depthwise_weight: Tensor,
                    depthwise_bias: Tensor, pointwise_weight: Tensor,
                    pointwise_bias: Tensor) -> Tuple[Tensor, int]:
    x = torch.conv2d(self.causal_pad(x), depthwise_weight, depthwise_bias, [2, 2], [0, 0],
                     [1, 1], x.size(1))
    length = length // 2 + 1
    x = torch.conv2d(self.time_masked(x, length), pointwise_weight, pointwise_bias)
    return torch.relu(self.time_masked(x, length)), length

# Causal subsampling pads 2 before and 1 after, in time and in frequency.
def causal_pad(self, x: Tensor) -> Tensor:
    return torch.constant_pad_nd(x, [2, 1, 2, 1], 0.0)

def time_masked(self, x: Tensor, length: int) -> Tensor:
    keep = (torch.arange(x.size(2)) < length).to(x.dtype)
    return x * keep.view(1, 1, -1, 1)

# True where query frame i may not see key s: another chunk than its own or its left chunks,
# a cache row older than cache_len, or a padded frame on either side.
def attention_mask(self, frames: int, length: int, cache_len: Tensor) -> Tensor:
    keys = torch.arange(self.cache_size + frames)
    chunk = torch.div(keys, self.chunk_frames, rounding_mode="trunc")
    behind = chunk[self.cache_size:].unsqueeze(1) - chunk.unsqueeze(0)
    visible = (behind >= 0) & (behind <= self.left_chunks)
    valid = (keys + cache_len >= self.cache_size) & (keys < self.cache_size + length)
    return ~(visible & valid.unsqueeze(0) & valid[self.cache_size:].unsqueeze(1))

def layer(self, x: Tensor, positions: Tensor, blocked: Tensor, padded: Tensor,
          cache_channel: Tensor, cache_time: Tensor, l: int) -> Tuple[Tensor, Tensor, Tensor]:
    h = self.project(self.norm(x, self.norm_ff1_weight, self.norm_ff1_bias, l), self.ff1_in, l)
    x = x + self.project(torch.silu(h), self.ff1_out, l) * 0.5
    attended, channel = self.attention(self.norm(x, self.norm_att_weight, self.norm_att_bias, l),
                                       cache_channel, positions, blocked, l)
    x = x + attended
    convolved, time = self.convolution(self.norm(x, self.norm_conv_weight, self.norm_conv_bias, l),
                                       padded, cache_time, l)
    x = x + convolved
    h = self.project(self.norm(x, self.norm_ff2_weight, self.norm_ff2_bias, l), self.ff2_in, l)
    x = x + self.project(torch.silu(h), self.ff2_out, l) * 0.5
    return self.norm(x, self.norm_out_weight, self.norm_out_bias, l), channel, time

def norm(self, x: Tensor, weight: Tensor, bias: Tensor, l: int) -> Tensor:
    return torch.layer_norm(x, [self.d_model], weight[l], bias[l], 1e-5)

# Returns the attention's output and the layer's new channel cache: the last cache rows of the
# cached and the new keys and values.
def attention(self, query: Tensor, cache: Tensor, positions: Tensor, blocked: Tensor,
              l: int) -> Tuple[Tensor, Tensor]:
    projected = self.project(query, self.linear_qkv, l)
    q = projected[:, :self.d_model].view(query.size(0), self.heads, -1)
    kv = torch.cat([cache, projected[:, self.d_model:]], 0)
    k = self.heads_first(kv[:, :self.d_model])
    v = self.heads_first(kv[:, self.d_model:])
    p = self.heads_first(positions)
    with_u = (q + self.pos_bias_u[l]).transpose(0, 1)
    with_v = (q + self.pos_bias_v[l]).transpose(0, 1)
    content = torch.matmul(with_u, k.transpose(1, 2))
    position = self.rel_shift(torch.matmul(with_v, p.transpose(1, 2)))
    scores = (content + position[:, :, :content.size(2)]) / self.sqrt_dk
    scores = scores.masked_fill(blocked, -10000.0)
    weights = torch.softmax(scores, -1).masked_fill(blocked, 0.0)
    out = torch.matmul(weights, v).transpose(0, 1).reshape(query.size(0), -1)
    return self.project(out, self.linear_out, l), kv[kv.size(0) - cache.size(0):]

def heads_first(self, x: Tensor) -> Tensor:
    return x.view(x.size(0), self.heads, -1).transpose(0, 1)

# Transformer-XL's shift: row i of [heads, queries, 2n-1] moves so that column j holds the
# position term of query i against key j.
def rel_shift(self, x: Tensor) -> Tensor:
    heads, queries, span = x.size(0), x.size(1), x.size(2)
    x = torch.constant_pad_nd(x, [1, 0], 0.0).view(heads, -1, queries)
    return x[:, 1:].view(heads, queries, span)

# GLU, padded frames zeroed, causal depthwise convolution continuing the time cache.
def convolution(self, x: Tensor, padded: Tensor, cache: Tensor,
                l: int) -> Tuple[Tensor, Tensor]:
    h = torch.glu(self.project(x, self.pointwise1, l), 1).masked_fill(padded, 0.0)
    h = torch.cat([cache, h.t()], 1)
    z = torch.conv1d(h.unsqueeze(0), self.depthwise_weight[l], self.depthwise_bias[l], [1], [0],
                     [1], self.d_model)
    z = torch.silu(self.conv_norm(z[0].t(), l))
    return self.project(z, self.pointwise2, l), h[:, h.size(1) - cache.size(1):]
)";

// The Conformer layers' linear layers and pointwise convolutions.
const char* const floatProjection = R"(
def project(self, x: Tensor, layers: List[Tuple[Tensor, Tensor]], l: int) -> Tensor:
    weight, bias = layers[l]
    return torch.linear(x, weight, bias)
)";

// Weights quantized per output channel, inputs per row, by the encoder's own operator.
const char* const int8Projection = R"(
def project(self, x: Tensor, layers: List[Tuple[Tensor, Tensor, Tensor, Tensor, int]],
            l: int) -> Tensor:
    weight, scales, sums, bias, input_bits = layers[l]
    return ops.relayo.linear_int8(x, weight, scales, sums, bias, input_bits)
)";

// Running statistics, eps 1e-5.
const char* const batchNorm = R"(
def conv_norm(self, x: Tensor, l: int) -> Tensor:
    return torch.batch_norm(x, self.conv_norm_weight[l], self.conv_norm_bias[l],
                            self.conv_norm_mean[l], self.conv_norm_var[l], False, 0.0, 1e-5, False)
)";

const char* const layerNorm = R"(
def conv_norm(self, x: Tensor, l: int) -> Tensor:
    return self.norm(x, self.conv_norm_weight, self.conv_norm_bias, l)
)";

const char* const unconditioned = R"(
def condition(self, x: Tensor) -> Tensor:
    return x
)";

// The prompt projection with the prompt's one-hot column folded into the first bias.
const char* const prompt = R"(
def condition(self, x: Tensor) -> Tensor:
    h = torch.relu(torch.linear(x, self.prompt_weight1, self.prompt_bias1))
    return torch.linear(h, self.prompt_weight2, self.prompt_bias2)
)";

} // namespace

std::string EncoderSource::compose(ModelPrecision precision, ConvNorm convNorm, bool prompted) {
    std::string source = step;
    source += precision == ModelPrecision::int8 ? int8Projection : floatProjection;
    source += convNorm == ConvNorm::batchNorm ? batchNorm : layerNorm;
    source += prompted ? prompt : unconditioned;
    return source;
}
