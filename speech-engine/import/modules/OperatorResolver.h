#pragma once

// Names for TorchScript sources defined in C++ (libtorch side only): `torch` resolves to the
// aten operators, as by default, `ops.<namespace>.<op>` to operators outside aten, such as
// ops.relayo.linear_int8, and `Exception` to the exception a script raises.

#include <torch/csrc/jit/frontend/resolver.h>
#include <torch/csrc/jit/frontend/sugared_value.h>

struct OperatorResolver : torch::jit::Resolver {
    struct OperatorNamespaces : torch::jit::SugaredValue {
        std::string kind() const override { return "operator namespaces"; }
        std::shared_ptr<torch::jit::SugaredValue> attr(const torch::jit::SourceRange&,
                                                       torch::jit::GraphFunction&,
                                                       const std::string& field) override {
            return std::make_shared<torch::jit::BuiltinModule>(field);
        }
    };

    std::shared_ptr<torch::jit::SugaredValue>
    resolveValue(const std::string& name, torch::jit::GraphFunction&,
                 const torch::jit::SourceRange&) override {
        if (name == "torch")
            return std::make_shared<torch::jit::BuiltinModule>("aten");
        if (name == "ops")
            return std::make_shared<OperatorNamespaces>();
        if (name == "Exception")
            return std::make_shared<torch::jit::ExceptionValue>(name);
        return nullptr;
    }
};
