// refresh_net: walks a module tree in which the block-wise conversion has put an ARBLayer
// in place of every neuron module, and replaces each ARBLayer by an ARBModulePyThread
// (thread_module.cpp).
#include "deploy_net.h"

#include <string>
#include <vector>

namespace dgr::deploy {
namespace {

using host::extra_verbose;

py::object make_module(py::object module) { return host::this_module().attr(DGR_STR("ModuleType"))(module); }

py::object get_pretrained_arb_attr(py::object pretrained, py::object member) {
  if (pretrained.is_none()) return py::none();
  return pretrained.attr(member);
}

py::object get_pretrained_arb_var(py::object pretrained, py::object submodule_id) {
  if (pretrained.is_none()) return py::none();
  return pretrained.attr("get_submodule")(submodule_id);
}

py::object refresh_walk(py::object net, long long depth, py::str name_so_far, py::list converted_list,
                        std::vector<PyObject*>& path);

// Container case: every named child walked under "[name]", an ARBLayer left in place
// replaced by its inference module.
void refresh_children(py::handle net, const host::WalkLevel& level, long long depth, py::str name_so_far,
                      py::list converted_list, std::vector<PyObject*>& path) {
  for (auto& [submodule_id, child] : host::container_children(net)) {
    if (!level.leads_back(child)) {
      py::str child_path = name_so_far + py::str("[") + py::str(submodule_id) + py::str("]");
      converted_list.append(child_path);
      py::setattr(net, submodule_id, refresh_walk(child, depth + 1, child_path, converted_list, path));
    }
    if (host::class_name(net.attr(submodule_id)) == "ARBLayer") {
      py::setattr(net, submodule_id, make_module(get_pretrained_arb_var(py::reinterpret_borrow<py::object>(net),
                                                                        submodule_id)));
    }
  }
}

// Attribute case: every module attribute (and layer_array) walked under ".name" unless it
// is excluded from saving or already walked; an ARBLayer attribute replaced by its
// inference module.
void refresh_attributes(py::handle net, const host::WalkLevel& level, long long depth, py::str name_so_far,
                        py::list converted_list, std::vector<PyObject*>& path) {
  py::handle module_cls = host::nn_attr("Module");
  level.for_each_attribute([&](py::handle member, py::handle value) {
    py::str sub_name = name_so_far + py::str(".") + py::str(member);
    std::string member_text = py::str(member);
    if (member_text == "device" || member_text == "dtype") return;
    if (host::contains(host::get(host::names::get_module_names_to_not_save()), sub_name)) return;
    if (host::contains(converted_list, sub_name)) {
      if (extra_verbose()) host::print(host::percent("Skipping %s during save", sub_name));
      return;
    }
    if (host::is_instance(value, module_cls) || member_text == "layer_array") {
      converted_list.append(sub_name);
      if (!level.leads_back(value)) {
        py::object child = py::reinterpret_borrow<py::object>(value);
        py::setattr(net, member, refresh_walk(child, depth + 1, sub_name, converted_list, path));
      }
    }
    py::object now;
    if (host::read_attr(net, member, now) && host::class_name(now) == "ARBLayer") {
      py::object owner = py::reinterpret_borrow<py::object>(net);
      py::setattr(net, member, make_module(get_pretrained_arb_attr(owner, py::reinterpret_borrow<py::object>(member))));
    }
  });
}

// The walk of refresh_arb. `path` holds the objects from the root down to `net`: a
// member that refers back to one of them (a cycle in the attribute graph) is not entered.
py::object refresh_walk(py::object net, long long depth, py::str name_so_far, py::list converted_list,
                        std::vector<PyObject*>& path) {
  if (extra_verbose()) {
    host::print(py::str("DN calling convert on ") + py::str(net) + py::str(" depth ") + py::str(py::int_(depth)));
    host::print(py::str("DN calling convert on ") + name_so_far + py::str(": ") + py::str(host::class_name(net)) +
                py::str(", depth ") + py::str(py::int_(depth)));
  }
  if (py::type::of(net).is(host::this_module().attr(DGR_STR("ModuleType")))) {
    if (extra_verbose()) {
      host::print(
          "this is only being called because something in your model is pointed to twice by two different "
          "variables.  Highest thing on the list is one of the duplicates");
    }
    return net;
  }
  host::WalkLevel level(path, net, " while converting blocks to inference modules");
  if (host::is_container(net, true)) {
    refresh_children(net, level, depth, name_so_far, converted_list, path);
  } else {
    // Module types the host keeps as they are: not looked into, not converted.
    if (host::contains(host::get(host::names::get_modules_to_track()), py::type::of(net))) return net;
    refresh_attributes(net, level, depth, name_so_far, converted_list, path);
  }
  if (host::class_name(net) == "ARBLayer") net = make_module(net);
  return net;
}

py::object refresh_arb(py::object net, long long depth, py::str name_so_far, py::list converted_list) {
  std::vector<PyObject*> path;
  return refresh_walk(std::move(net), depth, std::move(name_so_far), std::move(converted_list), path);
}

py::object refresh_net(py::object net) {
  host::require_module(net, "refresh_net", "net");
  return refresh_arb(net, 0, py::str(""), py::list());
}

}  // namespace

void register_refresh(py::module_& m) {
  m.def("make_module", &make_module, py::arg("module"), "A new ARBModulePyThread built from an ARBLayer.");
  m.def("get_pretrained_arb_attr", &get_pretrained_arb_attr, py::arg("pretrained_dendrite"), py::arg("member"),
        "None when pretrained_dendrite is None, else its attribute `member`.");
  m.def("get_pretrained_arb_var", &get_pretrained_arb_var, py::arg("pretrained_dendrite"), py::arg("submodule_id"),
        "None when pretrained_dendrite is None, else its sub-module `submodule_id`.");
  m.def("refresh_arb", &refresh_arb, py::arg("net"), py::arg("depth"), py::arg("name_so_far"),
        py::arg("converted_list"), "Replaces every ARBLayer below `net` by an inference module; returns `net`.");
  m.def("refresh_net", &refresh_net, py::arg("net"), "refresh_arb from the root with an empty path.");
}

}  // namespace dgr::deploy
