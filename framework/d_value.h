// The framework's value property; this build provides the integer instance D_int.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "eq_exceptions.h"
#include "eq_fct.h"

namespace tavik {

template <class T>
class D_value;

template <>
class D_value<int> : public D_fct {
 public:
  using ValueType = int;

  D_value(const std::string& pn, EqFct* ef, unsigned nbuf = 0);
  ~D_value() override;

  void get(EqAdr*, EqData* data_in, EqData* result, EqFct* location) override;
  void set(EqAdr*, EqData* data_in, EqData* result, EqFct* location) override;
  void get_multi(EqAdr*, EqData* data_in, EqData* result, int* i, const char* addr,
                 time_t* tm) override;
  void conf(Config* c) override;
  void read() override;
  void write(std::ostream& ofile) override;
  void auto_init() override;
  int data_type() const override { return DATA_INT; }
  using D_fct::data_type;
  void conf_process(EqFct* ef, int i) override;
  int send(dmsg_info* ip) override;

  virtual int get_value() const;
  // The update: value, time stamp, event id, history, ring buffer. Throws tavik::Error when the
  // history reports a wrong data type (126).
  virtual void set_value(int val);
  virtual void set_value(int val, int64_t evid, time_t sec, int usec);
  virtual void set_value(int val, Timestamp ts, EventId ev, ArchiveStatus status);
  virtual int value(uint64_t evid, time_t sec, int usec);
  virtual int value();

  // Attaching a history and enabling archiving (framework set-up, not used by the library).
  void set_hist(std::unique_ptr<D_hist> h);
  D_hist* hist() const { return hist_.get(); }
  void set_arch_en(bool on) { arch_en_ = on; }

 protected:
  bool arch_en_ = false;
  std::unique_ptr<D_hist> hist_;
  std::atomic<int> value_{0};  // read by client threads while device threads update it
  std::string filepref_;
  int loghist_ = -1;
  int rblen_ = -1;
};

}  // namespace tavik

using D_int = tavik::D_value<int>;
