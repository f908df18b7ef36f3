// The framework's property base (D_fct), locations (EqFct), configuration (Config) and the
// small property classes the library builds on.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "eq_data.h"
#include "tavik_log.h"
#include "tavik_time.h"
#include "tavik_types.h"

class D_fct;
class Config;

// Address of a client request; the library does not look into it.
class EqAdr {};

// A location: a name, the properties created in it, and the user and host of the client request
// being served. A location must outlive the properties created in it. Properties handed over
// with own() are deleted with the location.
class EqFct {
 public:
  explicit EqFct(const std::string& name);
  virtual ~EqFct();
  EqFct(const EqFct&) = delete;
  EqFct& operator=(const EqFct&) = delete;

  const std::string& name() const { return name_; }

  // Properties in creation order; registration is done by D_fct's constructor and destructor.
  std::vector<D_fct*> properties() const;
  D_fct* find(const std::string& name) const;  // by property name, nullptr if none
  void add_property(D_fct* p);
  void remove_property(D_fct* p);
  // Hands `p` over: it is deleted with the location.
  void own(D_fct* p);

  // The requester of the client request being served, for log lines.
  void set_user_and_host(const std::string& user, const std::string& host);
  std::string get_username() const;
  std::string get_hostname() const;

 private:
  std::string name_;
  mutable std::mutex mx_;
  std::vector<D_fct*> props_;
  std::vector<D_fct*> owned_;
  std::string user_;
  std::string host_;
};

// "user@host" of the request a location is serving.
std::string get_user_and_host(EqFct* ef);
// The location's name.
std::string get_location_name(EqFct* ef);
// The text of a framework error code (never empty).
std::string get_error_string(int code);

// The configuration: one line per property, "NAME:" followed by its value text, as D_fct::write
// writes it. Blank lines and lines starting with '#' are ignored.
class Config {
 public:
  Config() = default;
  void parse(const std::string& text);
  bool load(const std::string& path);  // false when the file cannot be read

  // The entry of property `name`, or nullptr. Throws std::runtime_error when a lookup error was
  // set for tests.
  D_conf_struct* find(const std::string& name);
  void set_lookup_error(const std::string& what);  // empty clears it

  // Registration of a property with its data type (conf_insert). The list is not told when a
  // property is destroyed; its pointers are for identification only.
  void insert(D_fct* p, int data_type);
  std::vector<std::pair<D_fct*, int>> registered() const;

 private:
  std::map<std::string, D_conf_struct> entries_;
  std::vector<std::pair<D_fct*, int>> registered_;
  std::string lookup_error_;
};

// The framework's property base.
class D_fct {
 public:
  // `pn`: the name up to its first blank, then the description. `nbuf`: ring-buffer slots.
  D_fct(const std::string& pn, EqFct* ef, unsigned nbuf = 0);
  virtual ~D_fct();
  D_fct(const D_fct&) = delete;
  D_fct& operator=(const D_fct&) = delete;

  // Virtual table, in slot order.
  virtual void get(EqAdr*, EqData* data_in, EqData* result, EqFct* location);
  virtual void set(EqAdr*, EqData* data_in, EqData* result, EqFct* location);
  virtual void names(EqAdr*, EqData* result, int* i);
  virtual void get_multi(EqAdr*, EqData* data_in, EqData* result, int* i, const char* addr,
                         time_t* tm);
  virtual void conf(Config* c);
  virtual void read();
  virtual void read_from_conf(const std::string&) {}
  // The common head of every configuration line: the property name and a colon.
  virtual void write(std::ostream& ofile);
  virtual void auto_init() {}
  virtual const char* comment() const;
  virtual int data_type() const { return DATA_NULL; }
  virtual int data_type() { return static_cast<const D_fct*>(this)->data_type(); }
  virtual int daq_type() { return 0; }
  virtual void conf_insert(Config* c, int data_type);
  virtual void conf_process(EqFct* ef, int i);
  virtual void callback_(EqAdr*, EqData*, EqData*, int, int, int*) {}
  virtual int permission() const { return permission_; }
  virtual void permission(int p) { permission_ = p; }
  virtual int d_error() const { return error_; }
  virtual void d_error(int e) { error_ = e; }
  virtual int d_severity() const { return 0; }
  virtual void d_severity(int) {}
  virtual void set_mode(int m) { mode_ = m; }
  virtual int send(dmsg_info*) { return -1; }

  // Name and description.
  const std::string& name() const { return name_; }
  const std::string& basename() const { return name_; }
  const std::string& description() const { return *description_; }
  EqFct* location() const { return location_; }

  // The configuration entry of this property (by name) from the Config it was registered with;
  // nullptr when not registered or not found. May throw std::exception.
  D_conf_struct* find_prop_name();

  // Receives the text of each configuration line this property wrote (after the head).
  virtual void dump(const std::string& line);
  std::string last_dump() const;

  // Time stamp and event id of the last update.
  void set_timestamp(tavik::Timestamp ts);
  tavik::Timestamp get_timestamp() const;
  void set_event_id(tavik::EventId ev);
  tavik::EventId get_event_id() const;

  // Ring buffer of the last get_nbuf() values by event id. get_buf_value selects:
  //  - event id > 0: the slot filed under that event id;
  //  - event id <= 0 (-1 and 0 included) with seconds > 0: the slot with the latest time that is
  //    not after (seconds, microseconds);
  //  - event id <= 0 without a time: the newest slot.
  // Where several slots qualify equally (an event id filed twice, equal times) the one filed
  // last wins.
  // It returns 0 and copies the datum into `out`, or kErrNoData when nothing matches (also when
  // the property has no slots).
  static constexpr int kErrNoData = 101;
  unsigned get_nbuf() const { return nbuf_; }
  void set_buf_value(EqData* ed, int64_t event, int64_t s, int us);
  int get_buf_value(EqData* out, int64_t event, int64_t s, int us);

  bool logging() const { return logging_; }
  void set_logging(bool on) { logging_ = on; }
  int dynamic() const { return dynamic_; }
  void dynamic(int d) { dynamic_ = d; }
  void dmsg_supported() { dmsg_supported_ = true; }
  bool is_dmsg_supported() const { return dmsg_supported_; }

  // Data messages; recorded for tests (last header, last payload). Return 0, or the results
  // set with set_send_result.
  int send_header(dmsg_info* ip, int kind);
  int send_data(const unsigned char* data, unsigned length, int flags);
  std::vector<unsigned char> last_sent_data() const;
  void set_send_result(int header_result, int data_result);
  // What the last send_header/send_data calls passed (for tests); -1 before any call.
  dmsg_info last_sent_header() const;
  int last_sent_kind() const;
  int last_sent_flags() const;

 protected:
  Config* config_ = nullptr;

 private:
  struct Slot {
    int64_t event;
    int64_t sec;
    int usec;
    EqData data;
  };
  std::string name_;
  // Descriptions repeat across the many properties of one kind (every node property's ".START"
  // says "can node"): they are kept once per process, in a pool that lives until the end.
  const std::string* description_;
  EqFct* location_;
  unsigned nbuf_;
  mutable std::mutex mx_;  // guards the fields below
  tavik::Timestamp ts_;
  tavik::EventId ev_ = 0;
  // Created by the first set_buf_value: most properties have no slots, and an empty std::deque
  // already allocates more than half a kilobyte.
  std::unique_ptr<std::deque<Slot>> slots_;
  // What dump() and the data-message calls leave for tests to look at. Created by the first
  // such call, so that the many properties that never make one do not carry it.
  struct Record {
    std::string last_dump;
    std::vector<unsigned char> sent_data;
    dmsg_info sent_header{};
    int sent_kind = -1;
    int sent_flags = -1;
    int header_result = 0;
    int data_result = 0;
  };
  Record& record_locked();  // caller holds mx_
  std::unique_ptr<Record> record_;
  // Flags and codes that device threads may change while client threads read them.
  std::atomic<bool> logging_{false};
  std::atomic<int> dynamic_{0};
  std::atomic<bool> dmsg_supported_{false};
  std::atomic<int> permission_{0};
  std::atomic<int> error_{0};
  std::atomic<int> mode_{0};
};

// The history (archive) of a property. fill_hist's error result can be set by tests; every call
// of fill_hist is recorded (thread-safe).
class D_hist : public D_fct {
 public:
  struct Fill {
    int value;
    ArchiveStatus status;
    unsigned sec;
    unsigned msec;
  };
  D_hist(const std::string& pn, EqFct* ef);
  virtual void fill_hist(int value, ArchiveStatus status, unsigned s, unsigned ms, int* err);
  void set_fill_error(int err);
  std::vector<Fill> fills() const;  // a copy: updates may run on other threads
  void auto_init() override { ++auto_inits_; }
  void conf_process(EqFct* ef, int i) override;
  int auto_inits() const { return auto_inits_; }
  int conf_processes() const { return conf_processes_; }

 private:
  mutable std::mutex hmx_;  // guards fill_error_ and fills_
  int fill_error_ = 0;
  std::vector<Fill> fills_;
  int auto_inits_ = 0;
  int conf_processes_ = 0;
};

// A text property, with a text of its own or bound to a caller's buffer of `size` bytes (at most
// size - 1 characters and the terminating zero are ever written there; a longer text is cut).
// The bound buffer is neither cleared nor read past size - 1 bytes, terminated or not. Its
// configuration line is the head, a tab, the text (line breaks turned into blanks) and a line
// feed; read() takes the text back from the configuration.
class D_string : public D_fct {
 public:
  D_string(const std::string& pn, EqFct* ef);
  D_string(const std::string& pn, char* buf, unsigned short size, EqFct* ef);
  void get(EqAdr*, EqData* data_in, EqData* result, EqFct* location) override;
  void set(EqAdr*, EqData* data_in, EqData* result, EqFct* location) override;
  void read() override;
  void write(std::ostream& ofile) override;
  int data_type() const override { return DATA_STRING; }
  using D_fct::data_type;
  virtual void set_value(const std::string& s);
  virtual std::string value() const;

 private:
  mutable std::mutex vmx_;
  std::string own_;
  char* buf_ = nullptr;
  unsigned short size_ = 0;
};

// An integer property whose value lives at an external address. Until an address is bound it
// uses an integer of its own, so a read before binding is safe. Reads and writes of the bound
// integer are atomic.
class D_int_ptr : public D_fct {
 public:
  D_int_ptr(const std::string& pn, int* p, EqFct* ef);
  void get(EqAdr*, EqData* data_in, EqData* result, EqFct* location) override;
  void set(EqAdr*, EqData* data_in, EqData* result, EqFct* location) override;
  int data_type() const override { return DATA_INT; }
  using D_fct::data_type;
  void set_ptr(int* p);  // nullptr binds the property's own integer again
  int* get_ptr() const;  // the bound address; nullptr while the own integer is in use
  virtual void set_value(int v);
  virtual int value();

 private:
  int own_ = 0;
  int* ptr_;  // accessed atomically
};

// An IIII property (data type 14), loaded from and written to the configuration.
class D_iiii : public D_fct {
 public:
  D_iiii(const std::string& pn, EqFct* ef);
  void get(EqAdr*, EqData* data_in, EqData* result, EqFct* location) override;
  void set(EqAdr*, EqData* data_in, EqData* result, EqFct* location) override;
  void conf(Config* c) override { conf_insert(c, DATA_IIII); }
  void read() override;
  void write(std::ostream& ofile) override;
  int data_type() const override { return DATA_IIII; }
  using D_fct::data_type;
  virtual void set_value(const IIII& v);
  virtual IIII value() const;

 private:
  mutable std::mutex vmx_;
  IIII v_;
};
