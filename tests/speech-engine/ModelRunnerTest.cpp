#include "speech-engine/ModelRunner.h"
#include "speech-engine/EncoderCacheManager.h"
#include "speech-engine/MultiArray.h"
#include "tests/speech-engine/ScriptModelWriter.h"

#include <QTemporaryDir>
#include <QTest>

class ModelRunnerTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ModelRunner> loadModel(const std::string& source) {
        const auto path = m_dir.filePath(QString("model%1.pt").arg(m_models++)).toStdString();
        saveScriptModel(path, {source});
        return ModelRunner::load(path, {});
    }

    QTemporaryDir m_dir;
    int m_models = 0;

private slots:
    void addressesElementsThroughStrides() {
        int values[6] = {0, 1, 2, 3, 4, 5};
        // A transposed [3, 2] view of a dense [2, 3] block.
        auto array = MultiArray::view(values, {3, 2}, {1, 3}, MultiArrayDataType::int32, nullptr);
        QCOMPARE(array.at<std::int32_t>({0, 1}), 3);
        QCOMPARE(array.at<std::int32_t>({2, 0}), 2);
        QVERIFY(!array.isContiguous());
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, array.at<std::int32_t>({3, 0}));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, array.at<std::int32_t>({0}));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, array.at<float>({0, 0}));
    }

    void runsForwardWithNamedInputs() {
        auto runner = loadModel(R"(
def forward(self, a: Tensor, b: Tensor) -> Dict[str, Tensor]:
    return {"sum": a + b.float(), "transposed": a.t()}
)");
        auto a = MultiArray::createZeroed({2, 3}, MultiArrayDataType::float32);
        auto b = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
        for (int i = 0; i < 6; ++i) {
            a.data<float>()[i] = float(i);
        }
        b.at<std::int32_t>({0}) = 10;

        const auto output = runner->predict({{"a", a}, {"b", b}});
        QCOMPARE(output.at("sum").at<float>({1, 2}), 15.0f);
        const auto& transposed = output.at("transposed");
        QCOMPARE(transposed.shape(), (std::vector<std::int64_t>{3, 2}));
        QCOMPARE(transposed.at<float>({2, 1}), 5.0f);
    }

    void leavesOutOutputsOfOtherTypes() {
        auto runner = loadModel(R"(
def forward(self, x: Tensor) -> Dict[str, Tensor]:
    return {"flag": x > 0, "doubled": x.double() * 2.0}
)");
        const auto output =
            runner->predict({{"x", MultiArray::createZeroed({2}, MultiArrayDataType::float32)}});
        QVERIFY(!output.contains("flag"));
        QCOMPARE(output.at("doubled").dataType(), MultiArrayDataType::float64);
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, output.at("doubled").data<float>());
    }

    // A model that hands an input back must not tie the input's memory to its output, or
    // carried state would chain every chunk to the one before.
    void outputAliasingAnInputIsACopy() {
        auto runner = loadModel(R"(
def forward(self, x: Tensor) -> Dict[str, Tensor]:
    return {"same": x}
)");
        std::optional<MultiArray> input =
            MultiArray::createZeroed({4}, MultiArrayDataType::float32);
        input->fill(3);
        const auto output = runner->predict({{"x", *input}});
        input->fill(5);
        QCOMPARE(output.at("same").at<float>({3}), 3.0f);
        input.reset();
        QCOMPARE(output.at("same").at<float>({3}), 3.0f);
    }

    void runsInt8LinearLayers() {
        const auto path = m_dir.filePath("int8.pt").toStdString();
        saveScriptModel(path, {R"(
def forward(self, x: Tensor) -> Dict[str, Tensor]:
    return {"y": ops.quantized.linear_dynamic(x, self.weights[1])}
)",
                               {{"weights", {2, 4, 8}, 1.0, true}}});
        auto x = MultiArray::createZeroed({1, 8}, MultiArrayDataType::float32);
        x.fill(1);
        const auto y = ModelRunner::load(path, {})->predict({{"x", x}}).at("y");
        QCOMPARE(y.shape(), (std::vector<std::int64_t>{1, 4}));
        QVERIFY(y.at<float>({0, 0}) != 0.0f);
    }

    void reportsFailuresAsRunnerErrors() {
        auto runner = loadModel(R"(
def forward(self, x: Tensor) -> Tensor:
    return x
)");
        const ModelFeatures input{
            {"x", MultiArray::createZeroed({1}, MultiArrayDataType::float32)}};
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError, runner->predict(input));
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError, runner->predict({}));
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError,
                                 ModelRunner::load(m_dir.filePath("absent.pt").toStdString(), {}));
    }

    void createsZeroCachesAndExtractsTypedOnes() {
        const auto caches = EncoderCacheManager::createInitialCaches({{1, 2, 3}, {2, 2}, {1}});
        QCOMPARE(caches.channel.shape(), (std::vector<std::int64_t>{1, 2, 3}));
        QCOMPARE(caches.channel.at<float>({0, 1, 2}), 0.0f);
        QCOMPARE(caches.time.dataType(), MultiArrayDataType::float32);
        QCOMPARE(caches.len.at<std::int32_t>({0}), 0);

        const ModelFeatures output{
            {"c", MultiArray::createZeroed({1}, MultiArrayDataType::float32)},
            {"l", MultiArray::createZeroed({1}, MultiArrayDataType::int64)}};
        const auto extracted = EncoderCacheManager::extractCachesFromOutput(output, "c", "t", "l");
        QVERIFY(extracted.channel.has_value());
        QVERIFY(!extracted.time.has_value());
        QVERIFY(!extracted.len.has_value());
    }
};

QTEST_GUILESS_MAIN(ModelRunnerTest)
#include "ModelRunnerTest.moc"
