#include "speech-engine/import/checkpoint/StateDictPickle.h"

#include "speech-engine/import/checkpoint/ImportFailure.h"

#include <map>
#include <set>

namespace {

// A state dictionary takes about 200 bytes and 30 values per tensor (the published 0.6 B
// checkpoints have about 1500 tensors); every value the machine holds costs about 100 bytes,
// so the values, not the bytes, bound its memory.
constexpr std::size_t maxPickleBytes = std::size_t{16} << 20;
constexpr std::size_t maxValues = std::size_t{1} << 20;
constexpr std::size_t maxStorageKey = 64;
constexpr std::size_t maxDimensions = 16;

[[noreturn]] void fail(const std::string& message) {
    ImportFailure::raise("The checkpoint's weights index (data.pkl) " + message);
}

enum class Kind { none, boolean, integer, text, global, tuple, list, dict, storage, tensor };

// One value the pickle built. Containers refer to other values by index, so shared and even
// self-containing values need no ownership cycles.
struct Object {
    Kind kind = Kind::none;
    std::int64_t number = 0;        // integer or boolean value; tensor index
    std::string text;               // string; "module.name" of a global; storage key
    std::vector<std::size_t> items; // tuple/list elements; dict keys and values alternating
    CheckpointTensor::Type type = CheckpointTensor::Type::float32; // of a storage
};

Object object(Kind kind, std::int64_t number = 0, std::string text = {},
              std::vector<std::size_t> items = {}) {
    Object result;
    result.kind = kind;
    result.number = number;
    result.text = std::move(text);
    result.items = std::move(items);
    return result;
}

// The subset of pickle protocol 2 that torch.save uses for a state dictionary.
class Machine {
public:
    explicit Machine(std::span<const std::byte> bytes) : data(bytes) {}

    std::vector<StateDictPickle::Tensor> run() {
        for (;;) {
            const auto opcode = static_cast<unsigned char>(byte());
            if (opcode == '.')
                return result(pop());
            step(opcode);
        }
    }

private:
    std::span<const std::byte> data;
    std::size_t position = 0;
    std::vector<Object> objects;
    std::vector<std::size_t> stack;
    std::vector<std::size_t> marks;
    std::map<std::uint32_t, std::size_t> memo;
    std::vector<StateDictPickle::Tensor> tensors;
    std::size_t pushed = 0;

    std::byte byte() {
        if (position >= data.size())
            fail("ends unexpectedly");
        return data[position++];
    }
    std::uint64_t littleEndian(int count) {
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i)
            value |= std::uint64_t(byte()) << (8 * i);
        return value;
    }
    std::string bytes(std::uint64_t count) {
        if (count > data.size() - position)
            fail("ends unexpectedly");
        std::string text(reinterpret_cast<const char*>(data.data() + position), count);
        position += count;
        return text;
    }
    std::string line() {
        std::string text;
        for (char c; (c = static_cast<char>(byte())) != '\n';) {
            if (text.size() > 256)
                fail("has an overlong name");
            text += c;
        }
        return text;
    }

    std::size_t make(Object value) {
        objects.push_back(std::move(value));
        return objects.size() - 1;
    }
    // Every value in a container was pushed once, so counting pushes bounds them all.
    void pushIndex(std::size_t index) {
        if (++pushed > maxValues)
            fail("holds more values than a state dictionary needs");
        stack.push_back(index);
    }
    void push(Object value) { pushIndex(make(std::move(value))); }
    std::size_t pop() {
        if (stack.empty() || (!marks.empty() && stack.size() <= marks.back()))
            fail("is malformed (stack underflow)");
        const std::size_t top = stack.back();
        stack.pop_back();
        return top;
    }
    std::vector<std::size_t> popToMark() {
        if (marks.empty())
            fail("is malformed (no mark)");
        std::vector<std::size_t> items(stack.begin() + static_cast<std::ptrdiff_t>(marks.back()),
                                       stack.end());
        stack.resize(marks.back());
        marks.pop_back();
        return items;
    }
    std::vector<std::size_t> popItems(std::size_t count) {
        std::vector<std::size_t> items(count);
        for (std::size_t i = count; i > 0; --i)
            items[i - 1] = pop();
        return items;
    }
    std::size_t topIndex() {
        const std::size_t index = pop();
        stack.push_back(index);
        return index;
    }
    const Object& expect(std::size_t index, Kind kind, const char* what) const {
        if (objects[index].kind != kind)
            fail(std::string("has an unexpected value where ") + what + " belongs");
        return objects[index];
    }

    void step(unsigned char opcode) {
        switch (opcode) {
        case 0x80: // PROTO
            if (static_cast<unsigned char>(byte()) > 2)
                fail("uses a pickle protocol newer than 2");
            return;
        case '(':
            marks.push_back(stack.size());
            return;
        case 'N':
            push(object(Kind::none));
            return;
        case 0x88:
            push(object(Kind::boolean, 1));
            return;
        case 0x89:
            push(object(Kind::boolean, 0));
            return;
        case 'K':
            push(object(Kind::integer, std::int64_t(littleEndian(1))));
            return;
        case 'M':
            push(object(Kind::integer, std::int64_t(littleEndian(2))));
            return;
        case 'J':
            push(object(Kind::integer, std::int32_t(std::uint32_t(littleEndian(4)))));
            return;
        case 0x8a:
            longInteger();
            return;
        case 'X':
            push(object(Kind::text, 0, bytes(littleEndian(4))));
            return;
        case 0x8c:
            push(object(Kind::text, 0, bytes(littleEndian(1))));
            return;
        case 'c': {
            std::string module = line();
            push(object(Kind::global, 0, module + "." + line()));
            return;
        }
        case ')':
            push(object(Kind::tuple));
            return;
        case 't':
            push(object(Kind::tuple, 0, {}, popToMark()));
            return;
        case 0x85:
            push(object(Kind::tuple, 0, {}, popItems(1)));
            return;
        case 0x86:
            push(object(Kind::tuple, 0, {}, popItems(2)));
            return;
        case 0x87:
            push(object(Kind::tuple, 0, {}, popItems(3)));
            return;
        case ']':
            push(object(Kind::list));
            return;
        case '}':
            push(object(Kind::dict));
            return;
        case 'a':
            addTo(Kind::list, popItems(1));
            return;
        case 'e':
            addTo(Kind::list, popToMark());
            return;
        case 's':
            addTo(Kind::dict, popItems(2));
            return;
        case 'u': {
            auto items = popToMark();
            if (items.size() % 2 != 0)
                fail("is malformed (odd dictionary items)");
            addTo(Kind::dict, std::move(items));
            return;
        }
        case 'q':
            memo[std::uint32_t(littleEndian(1))] = topIndex();
            return;
        case 'r':
            memo[std::uint32_t(littleEndian(4))] = topIndex();
            return;
        case 'h':
            recall(std::uint32_t(littleEndian(1)));
            return;
        case 'j':
            recall(std::uint32_t(littleEndian(4)));
            return;
        case 'Q':
            persistentStorage(pop());
            return;
        case 'R':
            reduce();
            return;
        case 'b':
            build();
            return;
        default:
            fail("uses an unsupported pickle opcode " + std::to_string(opcode));
        }
    }

    void longInteger() {
        const auto count = static_cast<int>(littleEndian(1));
        if (count > 8)
            fail("has an integer too large for a tensor");
        std::uint64_t value = littleEndian(count);
        if (count > 0 && count < 8 && (value >> (8 * count - 1)) != 0)
            value |= ~std::uint64_t{0} << (8 * count); // negative: extend the sign
        push(object(Kind::integer, static_cast<std::int64_t>(value)));
    }

    void recall(std::uint32_t key) {
        const auto found = memo.find(key);
        if (found == memo.end())
            fail("is malformed (unknown memo entry)");
        pushIndex(found->second);
    }

    void addTo(Kind kind, std::vector<std::size_t> items) {
        Object& container = objects[topIndex()];
        if (container.kind != kind)
            fail("is malformed (items added to a value that does not hold them)");
        container.items.insert(container.items.end(), items.begin(), items.end());
    }

    // ('storage', torch.<Type>Storage, key, location, element count)
    void persistentStorage(std::size_t id) {
        const Object& tuple = expect(id, Kind::tuple, "a storage reference");
        if (tuple.items.size() != 5 || objects[tuple.items[0]].text != "storage")
            fail("has a storage reference of an unknown form");
        const std::string& typeName = expect(tuple.items[1], Kind::global, "a storage type").text;
        Object storage =
            object(Kind::storage, expect(tuple.items[4], Kind::integer, "a storage size").number,
                   expect(tuple.items[2], Kind::text, "a storage key").text);
        if (typeName == "torch.FloatStorage")
            storage.type = CheckpointTensor::Type::float32;
        else if (typeName == "torch.LongStorage")
            storage.type = CheckpointTensor::Type::int64;
        else
            fail("has a tensor of type " + typeName + "; only float32 and int64 are read");
        if (storage.number < 0)
            fail("has a storage of negative size");
        if (storage.text.size() > maxStorageKey)
            fail("has an overlong storage key");
        push(std::move(storage));
    }

    void reduce() {
        const std::size_t arguments = pop();
        // Copies: pushing a result may move the objects.
        const std::string function = expect(pop(), Kind::global, "a function").text;
        const std::vector<std::size_t> args = expect(arguments, Kind::tuple, "arguments").items;
        if (function == "collections.OrderedDict" && args.empty())
            push(object(Kind::dict));
        else if (function == "torch._utils._rebuild_tensor_v2" &&
                 (args.size() == 6 || args.size() == 7))
            push(object(Kind::tensor, rebuildTensor(args)));
        else if (function == "torch._utils._rebuild_parameter" && args.size() == 3)
            pushIndex(parameterTensor(args[0]));
        else
            fail("calls " + function + ", which a state dictionary does not use");
    }

    std::size_t parameterTensor(std::size_t id) const {
        expect(id, Kind::tensor, "a parameter's tensor");
        return id;
    }

    std::vector<std::int64_t> integers(std::size_t id, const char* what) {
        const auto& items = expect(id, Kind::tuple, what).items;
        if (items.size() > maxDimensions)
            fail("has a tensor with too many dimensions");
        std::vector<std::int64_t> values;
        for (std::size_t item : items)
            values.push_back(expect(item, Kind::integer, what).number);
        return values;
    }

    std::int64_t rebuildTensor(const std::vector<std::size_t>& args) {
        const Object& storage = expect(args[0], Kind::storage, "a tensor's storage");
        StateDictPickle::Tensor tensor{{},
                                       storage.text,
                                       storage.type,
                                       storage.number,
                                       expect(args[1], Kind::integer, "a tensor offset").number,
                                       integers(args[2], "a tensor shape"),
                                       integers(args[3], "tensor strides")};
        if (tensor.shape.size() != tensor.strides.size())
            fail("has a tensor whose shape and strides disagree");
        tensors.push_back(std::move(tensor));
        return static_cast<std::int64_t>(tensors.size() - 1);
    }

    // The state is the dictionary's attributes (module versions): not needed.
    void build() {
        pop();
        const Kind kind = objects[topIndex()].kind;
        if (kind != Kind::dict && kind != Kind::tensor)
            fail("is malformed (state set on an unexpected value)");
    }

    std::vector<StateDictPickle::Tensor> result(std::size_t root) {
        const auto& items = expect(root, Kind::dict, "the state dictionary").items;
        std::vector<StateDictPickle::Tensor> named;
        std::set<std::string> names;
        for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
            StateDictPickle::Tensor tensor = tensors[static_cast<std::size_t>(
                expect(items[i + 1], Kind::tensor, "a tensor").number)];
            tensor.name = expect(items[i], Kind::text, "a tensor name").text;
            if (!names.insert(tensor.name).second)
                fail("names the tensor " + tensor.name + " twice");
            named.push_back(std::move(tensor));
        }
        return named;
    }
};

} // namespace

std::vector<StateDictPickle::Tensor> StateDictPickle::parse(std::span<const std::byte> pickle) {
    if (pickle.size() > maxPickleBytes)
        fail("is too large");
    return Machine(pickle).run();
}
