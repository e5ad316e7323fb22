// The operator's shared library, opened as torch.ops.load_library opens it, by a process that has
// not registered the operator itself.
#include "speech-engine/runtime/Int8Linear.h"

#include <ATen/core/dispatch/Dispatcher.h>
#include <ATen/ops/tensor.h>

#include <QTest>

#include <dlfcn.h>

namespace {

bool registered() {
    return c10::Dispatcher::singleton().findSchema({"relayo::linear_int8", ""}).has_value();
}

} // namespace

class Int8LinearOperatorLibraryTest : public QObject {
    Q_OBJECT

private slots:
    // One weight of code 2 and scale 0.5: the input 3 codes as 255 of scale 3/255, so
    // 255 · 2 · (3/255 · 0.5) + 1 = 4.
    void registersTheOperatorAsItLoads() {
        QVERIFY(!registered());
        QVERIFY2(dlopen(OPERATOR_LIBRARY, RTLD_NOW | RTLD_LOCAL), dlerror());
        QVERIFY(registered());
        std::vector<std::int8_t> packed(std::size_t(Int8Linear::packedSize(1, 1)));
        const std::vector<std::int8_t> weight{2};
        Int8Linear::pack(weight, 1, 1, packed);
        const auto y =
            c10::Dispatcher::singleton()
                .findSchemaOrThrow("relayo::linear_int8", "")
                .typed<at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&,
                                  const at::Tensor&, const at::Tensor&)>()
                .call(at::tensor({3.0f}).view({1, 1}),
                      at::tensor(at::ArrayRef<std::int8_t>(packed)), at::tensor({0.5f}),
                      at::tensor({std::int32_t(2)}), at::tensor({1.0f}));
        QCOMPARE(y.sizes().vec(), (std::vector<std::int64_t>{1, 1}));
        QVERIFY(qFuzzyCompare(y.item<float>(), 4.0f));
    }
};

QTEST_GUILESS_MAIN(Int8LinearOperatorLibraryTest)
#include "Int8LinearOperatorLibraryTest.moc"
