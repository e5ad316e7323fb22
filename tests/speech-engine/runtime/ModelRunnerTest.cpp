#include "speech-engine/runtime/ModelRunner.h"
#include "speech-engine/runtime/MultiArray.h"
#include "tests/speech-engine/models/ScriptModelWriter.h"

#include <QTemporaryDir>
#include <QTest>

class ModelRunnerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ModelRunner> loadModel(const ScriptModel& model) {
        const auto path = m_dir.filePath(QString("model%1.pt").arg(m_models++)).toStdString();
        saveScriptModel(path, model);
        return ModelRunner::load(path, {});
    }

    QTemporaryDir m_dir;
    int m_models = 0;

private slots:
    // Named inputs in, named outputs back from any method, read through their strides; outputs
    // of other element types are left out, and one that is an input is a copy, or carried state
    // would chain every chunk's memory to the one before.
    void runsMethodsWithNamedFeatures() {
        auto runner = loadModel({R"(
def forward(self, a: Tensor, b: Tensor) -> Dict[str, Tensor]:
    return {"sum": a + b.float(), "transposed": a.t(), "flag": a > 0, "same": a,
            "doubled": a.double() * 2.0}

def scaled(self, a: Tensor) -> Dict[str, Tensor]:
    return {"tripled": a * 3.0}
)"});
        std::optional<MultiArray> a = MultiArray::createZeroed({2, 3}, MultiArrayDataType::float32);
        auto b = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
        for (int i = 0; i < 6; ++i)
            a->data<float>()[i] = float(i);
        b.at<std::int32_t>({0}) = 10;

        const auto output = runner->predict({{"a", *a}, {"b", b}});
        QCOMPARE(output.at("sum").at<float>({1, 2}), 15.0f);
        QCOMPARE(output.at("transposed").shape(), (std::vector<std::int64_t>{3, 2}));
        QCOMPARE(output.at("transposed").at<float>({2, 1}), 5.0f);
        QVERIFY(!output.at("transposed").isContiguous());
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, output.at("transposed").at<float>({3, 0}));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, output.at("transposed").at<float>({0}));
        QVERIFY(!output.contains("flag"));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, output.at("doubled").data<float>());
        QCOMPARE(runner->predict({{"a", *a}}, "scaled").at("tripled").at<float>({1, 1}), 12.0f);
        QVERIFY(runner->hasMethod("scaled") && !runner->hasMethod("absent"));
        a->fill(7);
        a.reset();
        QCOMPARE(output.at("same").at<float>({1, 2}), 5.0f);
    }

    // Whatever libtorch throws, c10 errors and a script's own failures alike, the caller sees a
    // runner error.
    void reportsFailuresAsRunnerErrors() {
        auto runner = loadModel({R"(
def forward(self, x: Tensor) -> Tensor:
    return x

def checked(self, x: Tensor) -> Dict[str, Tensor]:
    assert bool(x[0] > 0), "x must be positive"
    return {"x": x}
)"});
        const ModelFeatures input{
            {"x", MultiArray::createZeroed({1}, MultiArrayDataType::float32)}};
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError, runner->predict(input));
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError, runner->predict({}));
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError, runner->predict(input, "checked"));
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError, runner->predict(input, "absent"));
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError,
                                 ModelRunner::load(m_dir.filePath("absent.pt").toStdString(), {}));
    }

    // The int8 operator as folders call it: without the bits of the input's codes (folders made
    // before 14-bit inputs) it takes 8; a count of bits it has no codes for is an error.
    void runsTheInt8OperatorAsFoldersCallIt() {
        ModelRunner::registerOperators();
        auto runner = loadModel({R"(
def forward(self, x: Tensor) -> Dict[str, Tensor]:
    weight = torch.zeros([128], dtype=1)  # int8
    weight[1] = 2
    scales = torch.tensor([0.5])
    sums = torch.tensor([2], dtype=3)  # int32
    bias = torch.tensor([1.0])
    return {"before": ops.relayo.linear_int8(x, weight, scales, sums, bias),
            "eight": ops.relayo.linear_int8(x, weight, scales, sums, bias, 8),
            "fourteen": ops.relayo.linear_int8(x, weight, scales, sums, bias, 14)}

def twelve(self, x: Tensor) -> Dict[str, Tensor]:
    weight = torch.zeros([128], dtype=1)  # int8
    one = torch.tensor([1.0])
    sums = torch.tensor([0], dtype=3)  # int32
    return {"y": ops.relayo.linear_int8(x, weight, one, sums, one, 12)}
)"});
        // The second of the inputs 1 and 0.3 by a weight of code 2 and scale 0.5, plus 1: 1.3,
        // where 8-bit codes round 0.3 to 76 / 255.
        auto x = MultiArray::createZeroed({1, 2}, MultiArrayDataType::float32);
        x.at<float>({0, 0}) = 1.0f;
        x.at<float>({0, 1}) = 0.3f;
        const auto y = runner->predict({{"x", x}});
        QCOMPARE(y.at("before").at<float>({0, 0}), y.at("eight").at<float>({0, 0}));
        QVERIFY(std::abs(y.at("eight").at<float>({0, 0}) - 1.3f) > 1e-3f);
        QVERIFY(std::abs(y.at("fourteen").at<float>({0, 0}) - 1.3f) < 1e-4f);
        QVERIFY_THROWS_EXCEPTION(ModelRunnerError, runner->predict({{"x", x}}, "twelve"));
    }
};

QTEST_GUILESS_MAIN(ModelRunnerTest)
#include "ModelRunnerTest.moc"
