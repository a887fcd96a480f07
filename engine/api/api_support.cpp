// Declared API, not implemented yet: every call throws.
#include <vexel/vexel.hpp>

namespace vexel {
namespace {
[[noreturn]] void NotYet() { throw Error(254, "not implemented yet"); }
}  // namespace

const Value& Record::operator[](std::size_t) const { NotYet(); }
const Value& Record::operator[](std::string_view) const { NotYet(); }
const std::string& Record::text(std::size_t) const { NotYet(); }
const std::string& Record::text(std::string_view) const { NotYet(); }
const std::vector<Field>& Record::fields() const { NotYet(); }
std::size_t Record::index_of(std::string_view) const { NotYet(); }

struct Cursor::Impl {};
Cursor::Cursor(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Cursor::Cursor(Cursor&&) noexcept = default;
Cursor& Cursor::operator=(Cursor&&) noexcept = default;
Cursor::~Cursor() = default;
bool Cursor::next() { NotYet(); }
const Record& Cursor::record() const { NotYet(); }
Cursor::iterator Cursor::begin() { NotYet(); }

struct Expression::Impl {};
Expression::Expression(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;
Expression::~Expression() = default;
char Expression::type() const { NotYet(); }
const std::string& Expression::text() const { NotYet(); }

struct RecordLock::Impl {};
RecordLock::RecordLock(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RecordLock::RecordLock(RecordLock&&) noexcept = default;
RecordLock& RecordLock::operator=(RecordLock&&) noexcept = default;
RecordLock::~RecordLock() = default;
std::uint32_t RecordLock::recno() const { NotYet(); }
Record RecordLock::record() const { NotYet(); }
RecordLock& RecordLock::set(std::string_view, const Value&) { NotYet(); }
void RecordLock::commit() { NotYet(); }
void RecordLock::remove() { NotYet(); }
void RecordLock::recall() { NotYet(); }
void RecordLock::release() { NotYet(); }

struct AppendLock::Impl {};
AppendLock::AppendLock(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AppendLock::AppendLock(AppendLock&&) noexcept = default;
AppendLock& AppendLock::operator=(AppendLock&&) noexcept = default;
AppendLock::~AppendLock() = default;
std::uint32_t AppendLock::append(const Assignments&) { NotYet(); }
void AppendLock::release() { NotYet(); }

struct Table::Impl {};
Table::Table(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&&) noexcept = default;
Table::~Table() = default;
void Table::close() { NotYet(); }
bool Table::is_open() const noexcept { return impl_ != nullptr; }
const std::vector<Field>& Table::fields() const { NotYet(); }
std::optional<std::size_t> Table::field_index(std::string_view) const { NotYet(); }
std::uint32_t Table::size() const { NotYet(); }
int Table::codepage() const { NotYet(); }
std::filesystem::path Table::path() const { NotYet(); }
OpenMode Table::mode() const { NotYet(); }
int Table::version() const { NotYet(); }
Record Table::read(std::uint32_t) const { NotYet(); }
Cursor Table::scan() const { NotYet(); }
Cursor Table::order(std::string_view, std::optional<Value>, std::optional<Value>) const {
  NotYet();
}
Cursor Table::where(std::string_view) const { NotYet(); }
std::optional<std::uint32_t> Table::seek(std::string_view, const Value&, SeekMode) const {
  NotYet();
}
RecordLock Table::lock(std::uint32_t) { NotYet(); }
AppendLock Table::lock_append() { NotYet(); }
void Table::update(std::uint32_t, const Assignments&) { NotYet(); }
std::uint32_t Table::append(const Assignments&) { NotYet(); }
void Table::remove(std::uint32_t) { NotYet(); }
void Table::recall(std::uint32_t) { NotYet(); }
std::vector<TagInfo> Table::tags() const { NotYet(); }
void Table::add_tag(const TagSpec&) { NotYet(); }
void Table::reindex() { NotYet(); }
CheckReport Table::check(bool) { NotYet(); }
Expression Table::compile(std::string_view) const { NotYet(); }
Value Table::eval(const Expression&, std::uint32_t) const { NotYet(); }
Value Table::eval(std::string_view, std::uint32_t) const { NotYet(); }

struct Engine::Impl {};
Engine::Engine() : impl_(std::make_shared<Impl>()) {}
Engine::~Engine() = default;
Table Engine::open(const std::filesystem::path&, const OpenOptions&) { NotYet(); }
Table Engine::create(const std::filesystem::path&, const std::vector<Field>&,
                     const CreateOptions&) {
  NotYet();
}
Engine& default_engine() {
  static Engine engine;
  return engine;
}
Table open(const std::filesystem::path& p, const OpenOptions& o) {
  return default_engine().open(p, o);
}
Table create(const std::filesystem::path& p, const std::vector<Field>& f, const CreateOptions& o) {
  return default_engine().create(p, f, o);
}
const char* version() noexcept { return VEXEL_VERSION; }
}  // namespace vexel
