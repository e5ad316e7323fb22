#include "speech-engine/runtime/Int8Linear.h"
#include "tests/speech-engine/runtime/ProcessorKernels.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

struct Layer {
    std::int64_t outputs, inputs;
    std::vector<std::int8_t> weights, packed;
    std::vector<std::int32_t> sums;
    std::vector<float> scales, bias;

    // Weights of -127..127, or only ±127 where `extreme`.
    Layer(std::int64_t outputs, std::int64_t inputs, std::mt19937& random, bool extreme = false)
        : outputs(outputs), inputs(inputs), weights(std::size_t(outputs * inputs)),
          packed(std::size_t(Int8Linear::packedSize(outputs, inputs))) {
        std::uniform_int_distribution<int> code(-127, 127);
        std::uniform_real_distribution<float> scale(0.001f, 0.02f), offset(-1.0f, 1.0f);
        for (auto& weight : weights)
            weight = std::int8_t(extreme ? (code(random) < 0 ? -127 : 127) : code(random));
        Int8Linear::pack(weights, outputs, inputs, packed);
        sums = Int8Linear::channelSums(weights, outputs, inputs);
        for (std::int64_t n = 0; n < outputs; ++n) {
            scales.push_back(scale(random));
            bias.push_back(offset(random));
        }
    }

    Int8Linear::Weights view() const {
        return {packed.data(), scales.data(), sums.data(), bias.data(), outputs, inputs};
    }

    std::vector<float> apply(const std::vector<float>& x, std::int64_t rows,
                             Int8Linear::InputBits bits, Int8Linear::Kernel kernel) const {
        std::vector<float> y(std::size_t(rows * outputs), NAN);
        Int8Linear::apply(x.data(), rows, view(), bits, y.data(), kernel,
                          [](std::int64_t blocks, const auto& work) {
                              // Two threads' halves, to catch work that strays from its blocks.
                              work(blocks / 2, blocks);
                              work(0, blocks / 2);
                          });
        return y;
    }
};

constexpr Int8Linear::InputBits bothInputBits[] = {Int8Linear::InputBits::eight,
                                                   Int8Linear::InputBits::fourteen};

std::vector<float> randomInput(std::int64_t count, float low, float high, std::mt19937& random) {
    std::uniform_real_distribution<float> value(low, high);
    std::vector<float> x(static_cast<std::size_t>(count));
    for (auto& element : x)
        element = value(random);
    return x;
}

} // namespace

class Int8LinearTest : public QObject {
    Q_OBJECT

private slots:
    // Every kernel the processor's flags name runs here, and the fastest of them is chosen.
    void choosesTheKernelsTheProcessorHas() {
        const auto kernels = kernelsOfThisProcessor();
        for (const auto kernel : {Int8Linear::Kernel::portable, Int8Linear::Kernel::avx2,
                                  Int8Linear::Kernel::avx512Vnni})
            QCOMPARE(Int8Linear::runsHere(kernel), std::ranges::count(kernels, kernel) == 1);
        QCOMPARE(Int8Linear::bestKernel(), kernels.back());
    }

    // The exact integer product of the codes and the weights, scaled, to the bit on every kernel:
    // sizes off the block and group grid, every tile height of one plane and of two, alone and
    // after whole tiles, and the largest codes against the largest weights, whose pairs of
    // products AVX2 must not let overflow.
    void everyKernelComputesTheExactQuantizedProduct_data() {
        QTest::addColumn<qint64>("rows");
        QTest::addColumn<qint64>("outputs");
        QTest::addColumn<qint64>("inputs");
        QTest::addColumn<bool>("extreme");
        QTest::newRow("one by one") << qint64(1) << qint64(1) << qint64(1) << false;
        QTest::newRow("a 560 ms step's rows") << qint64(7) << qint64(96) << qint64(384) << false;
        QTest::newRow("off the grid") << qint64(3) << qint64(33) << qint64(130) << false;
        QTest::newRow("rows beyond a tile") << qint64(19) << qint64(70) << qint64(5) << false;
        QTest::newRow("no rows") << qint64(0) << qint64(40) << qint64(8) << false;
        for (qint64 rows = 1; rows <= 15; ++rows)
            QTest::addRow("%lld rows", rows) << rows << qint64(64) << qint64(36) << false;
        QTest::newRow("the smallest and largest codes against weights ±127 over a long row")
            << qint64(3) << qint64(40) << qint64(4100) << true;
    }
    void everyKernelComputesTheExactQuantizedProduct() {
        QFETCH(qint64, rows);
        QFETCH(qint64, outputs);
        QFETCH(qint64, inputs);
        QFETCH(bool, extreme);
        std::mt19937 random(std::uint32_t(rows * 1000 + outputs));
        const Layer layer(outputs, inputs, random, extreme);
        auto x = randomInput(rows * inputs, -3.0f, 5.0f, random);
        if (extreme)
            std::ranges::transform(x, x.begin(), [](float v) { return v < 1.0f ? -1.0f : 3.0f; });
        for (const auto kernel : kernelsOfThisProcessor())
            for (const auto bits : bothInputBits) {
                const auto input = Int8Linear::quantize(x.data(), rows, inputs, bits);
                std::vector<float> expected;
                for (std::int64_t r = 0; r < rows; ++r)
                    for (std::int64_t n = 0; n < outputs; ++n) {
                        std::int64_t sum = 0;
                        for (std::int64_t k = 0; k < inputs; ++k)
                            sum += (std::int64_t(input.code(r, k)) -
                                    input.zeroPoints[std::size_t(r)]) *
                                   layer.weights[std::size_t(n * inputs + k)];
                        expected.push_back(float(sum) * (input.scales[std::size_t(r)] *
                                                         layer.scales[std::size_t(n)]) +
                                           layer.bias[std::size_t(n)]);
                    }
                QCOMPARE(layer.apply(x, rows, bits, kernel), expected);
            }
    }

    // PyTorch's scale and zero point: the range widened to hold zero, codes of 8 or 14 bits, zero
    // mapped exactly; a range of nothing falls back to a scale of 0.1, and NaN gives codes, not a
    // crash.
    void quantizesAsPyTorchDynamicLinearDoes_data() {
        QTest::addColumn<std::vector<float>>("x");
        QTest::addColumn<Int8Linear::InputBits>("bits");
        QTest::addColumn<float>("scale");
        QTest::addColumn<int>("zeroPoint");
        QTest::addColumn<std::vector<int>>("codes");
        const auto eight = Int8Linear::InputBits::eight, fourteen = Int8Linear::InputBits::fourteen;
        const std::vector<float> bothSigns{-1.0f, 3.0f, 0.0f}, positive{0.5f, 2.0f},
            negative{-2.0f, -0.5f};
        QTest::newRow("both signs, 8 bits")
            << bothSigns << eight << float(4.0 / 255) << 64 << std::vector<int>{0, 255, 64};
        QTest::newRow("both signs, 14 bits") << bothSigns << fourteen << float(4.0 / 16383) << 4096
                                             << std::vector<int>{0, 16383, 4096};
        QTest::newRow("positive only, 8 bits")
            << positive << eight << float(2.0 / 255) << 0 << std::vector<int>{64, 255};
        QTest::newRow("positive only, 14 bits")
            << positive << fourteen << float(2.0 / 16383) << 0 << std::vector<int>{4096, 16383};
        QTest::newRow("negative only, 8 bits")
            << negative << eight << float(2.0 / 255) << 255 << std::vector<int>{0, 191};
        QTest::newRow("negative only, 14 bits")
            << negative << fourteen << float(2.0 / 16383) << 16383 << std::vector<int>{0, 12287};
        QTest::newRow("all zero") << std::vector<float>{0.0f, 0.0f} << fourteen << 0.1f << 0
                                  << std::vector<int>{0, 0};
    }
    void quantizesAsPyTorchDynamicLinearDoes() {
        QFETCH(std::vector<float>, x);
        QFETCH(Int8Linear::InputBits, bits);
        QFETCH(float, scale);
        QFETCH(int, zeroPoint);
        QFETCH(std::vector<int>, codes);
        const auto input = Int8Linear::quantize(x.data(), 1, std::int64_t(x.size()), bits);
        QCOMPARE(input.scales, std::vector<float>{scale});
        QCOMPARE(input.zeroPoints, std::vector<std::int32_t>{zeroPoint});
        std::vector<int> got;
        for (std::int64_t k = 0; k < std::int64_t(x.size()); ++k)
            got.push_back(input.code(0, k));
        QCOMPARE(got, codes);

        const std::vector<float> broken{NAN, 1.0f, -INFINITY};
        QCOMPARE(Int8Linear::quantize(broken.data(), 1, 3, bits).code(0, 1), 0);
    }

    // A loud row leaves a quiet one its whole range.
    void eachRowHasCodesOfItsOwn() {
        const std::vector<float> x{-1.0f, 3.0f, -100.0f, 300.0f};
        const auto input = Int8Linear::quantize(x.data(), 2, 2, Int8Linear::InputBits::eight);
        QCOMPARE(input.scales, (std::vector<float>{float(4.0 / 255), float(400.0 / 255)}));
        QCOMPARE(input.zeroPoints, (std::vector<std::int32_t>{64, 64}));
        QCOMPARE(std::vector<int>(
                     {input.code(0, 0), input.code(0, 1), input.code(1, 0), input.code(1, 1)}),
                 (std::vector<int>{0, 255, 0, 255}));
    }

    // With the weights taken as they are, only the input's rounding is left: the product stays
    // within a bound of the float product it stands for that 8-bit codes meet and 14-bit codes
    // meet with room to spare.
    void approximatesTheFloatProduct_data() {
        QTest::addColumn<Int8Linear::InputBits>("bits");
        QTest::addColumn<double>("bound");
        QTest::newRow("8 bits") << Int8Linear::InputBits::eight << 0.02;
        QTest::newRow("14 bits") << Int8Linear::InputBits::fourteen << 0.0005;
    }
    void approximatesTheFloatProduct() {
        QFETCH(Int8Linear::InputBits, bits);
        QFETCH(double, bound);
        std::mt19937 random(11);
        const Layer layer(64, 256, random);
        const auto x = randomInput(5 * 256, -1.0f, 1.0f, random);
        const auto y = layer.apply(x, 5, bits, Int8Linear::bestKernel());
        double worst = 0, largest = 0;
        for (std::int64_t r = 0; r < 5; ++r)
            for (std::int64_t n = 0; n < 64; ++n) {
                double exact = layer.bias[std::size_t(n)];
                for (std::int64_t k = 0; k < 256; ++k)
                    exact += double(x[std::size_t(r * 256 + k)]) * layer.scales[std::size_t(n)] *
                             layer.weights[std::size_t(n * 256 + k)];
                worst = std::max(worst, std::abs(exact - y[std::size_t(r * 64 + n)]));
                largest = std::max(largest, std::abs(exact));
            }
        QVERIFY2(worst < bound * largest,
                 qPrintable(QString("error %1 of %2").arg(worst).arg(largest)));
    }
};

QTEST_GUILESS_MAIN(Int8LinearTest)
#include "Int8LinearTest.moc"
