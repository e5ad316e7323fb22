// The operator's shared library, opened as torch.ops.load_library opens it, by a process that has
// not registered the operator itself.
#include "speech-engine/runtime/Int8Linear.h"

#include <ATen/core/dispatch/Dispatcher.h>
#include <ATen/ops/tensor.h>

#include <QTest>

// Qt after libtorch, whose headers use names Qt defines as keywords.
#include "tests/support/ScopedEnvironment.h"

#include <dlfcn.h>

namespace {

bool registered() {
    return c10::Dispatcher::singleton().findSchema({"relayo::linear_int8", ""}).has_value();
}

// One weight of code 2 and scale 0.5, bias 1, on the input `x`.
at::Tensor linearInt8(float x) {
    std::vector<std::int8_t> packed(std::size_t(Int8Linear::packedSize(1, 1)));
    const std::vector<std::int8_t> weight{2};
    Int8Linear::pack(weight, 1, 1, packed);
    return c10::Dispatcher::singleton()
        .findSchemaOrThrow("relayo::linear_int8", "")
        .typed<at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&,
                          const at::Tensor&, const at::Tensor&, std::int64_t)>()
        .call(at::tensor({x}).view({1, 1}), at::tensor(at::ArrayRef<std::int8_t>(packed)),
              at::tensor({0.5f}), at::tensor({std::int32_t(2)}), at::tensor({1.0f}), 8);
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
        const auto y = linearInt8(3.0f);
        QCOMPARE(y.sizes().vec(), (std::vector<std::int64_t>{1, 1}));
        QVERIFY(qFuzzyCompare(y.item<float>(), 4.0f));
    }

    // RELAYO_INT8_KERNEL picks the kernel; one this processor does not have, or a name of no
    // kernel, is refused by name rather than run.
    void runsTheKernelTheEnvironmentNames() {
        ScopedEnvironment environment;
        for (const auto kernel : {Int8Linear::Kernel::portable, Int8Linear::Kernel::avx2,
                                  Int8Linear::Kernel::avx512Vnni}) {
            const auto name = Int8Linear::nameOf(kernel);
            environment.set("RELAYO_INT8_KERNEL", QByteArray(name.data(), qsizetype(name.size())));
            if (Int8Linear::runsHere(kernel)) {
                QVERIFY(qFuzzyCompare(linearInt8(3.0f).item<float>(), 4.0f));
                continue;
            }
            QVERIFY_THROWS_EXCEPTION(c10::Error, linearInt8(3.0f));
        }
        environment.set("RELAYO_INT8_KERNEL", "sse9");
        try {
            linearInt8(3.0f);
            QFAIL("an unknown kernel ran");
        } catch (const c10::Error& error) {
            QVERIFY(QByteArray(error.what()).contains("RELAYO_INT8_KERNEL: no kernel sse9"));
        }
    }
};

QTEST_GUILESS_MAIN(Int8LinearOperatorLibraryTest)
#include "Int8LinearOperatorLibraryTest.moc"
