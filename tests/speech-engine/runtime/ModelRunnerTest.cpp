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
};

QTEST_GUILESS_MAIN(ModelRunnerTest)
#include "ModelRunnerTest.moc"
