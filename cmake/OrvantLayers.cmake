# The layers, kept by the build (docs/ARCHITECTURE.md explains them; the same
# directions, with their reasons, are tests/layers/layers_test.py's ALLOWED
# and EXCEPTIONS: change both together).
#
# ORVANT_LAYER_<layer> lists what the files of a layer may include: folders of
# the source tree, or single files of a folder the layer may not see whole.
# Each layer compiles against ${CMAKE_BINARY_DIR}/layers/<layer>/, made at
# configure time with one symbolic link per entry, named as includes name it
# ("wave" -> <source>/wave). Includes stay rooted at the source tree
# ("wave/WaveUtils.h"), edits are seen at once, a header added to a folder
# needs no new configure, and an include of anything else fails to compile
# ("No such file or directory").
set(ORVANT_LAYERS platform wave audio upload catalogue app kit collect)
set(ORVANT_LAYER_platform platform)
set(ORVANT_LAYER_wave platform wave)
set(ORVANT_LAYER_audio platform wave audio)
set(ORVANT_LAYER_upload platform wave upload)
# The catalogue reader (app/Catalogue.*) is widget-free and what the
# collection server sees of app/, so it sees no more of app/ itself.
set(ORVANT_LAYER_catalogue platform app/Catalogue.h)
set(ORVANT_LAYER_app platform wave audio upload app)
set(ORVANT_LAYER_kit platform wave audio upload app kit)
set(ORVANT_LAYER_collect platform wave audio upload collect app/Catalogue.h)
# Layers whose libraries reach no Qt at all.
set(ORVANT_NO_QT_LAYERS wave)

set(ORVANT_LAYER_ROOT ${CMAKE_BINARY_DIR}/layers)
# Made afresh, so an entry dropped from a layer is gone from its folder too.
# REMOVE_RECURSE removes the links themselves and never follows them.
file(REMOVE_RECURSE ${ORVANT_LAYER_ROOT})
foreach(layer IN LISTS ORVANT_LAYERS)
  foreach(entry IN LISTS ORVANT_LAYER_${layer})
    if(NOT EXISTS ${CMAKE_SOURCE_DIR}/${entry})
      message(FATAL_ERROR "layer ${layer}: ${entry} is not in the source tree")
    endif()
    get_filename_component(parent ${ORVANT_LAYER_ROOT}/${layer}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${entry} ${ORVANT_LAYER_ROOT}/${layer}/${entry} SYMBOLIC)
  endforeach()
endforeach()

# orvant_layer(<target> <layer> [WIDGETS]): <target>'s files are of <layer>.
# The layer's folder is a PUBLIC include folder: a library's users see what
# its headers need, and nothing of the layers above it. WIDGETS: the target
# uses or links Qt Widgets; any other layered target must not reach them.
function(orvant_layer target layer)
  cmake_parse_arguments(L "WIDGETS" "" "" ${ARGN})
  if(NOT layer IN_LIST ORVANT_LAYERS)
    message(FATAL_ERROR "orvant_layer(${target}): no layer ${layer}")
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_include_directories(${target} PRIVATE ${ORVANT_LAYER_ROOT}/${layer})
  else()
    target_include_directories(${target} PUBLIC ${ORVANT_LAYER_ROOT}/${layer})
  endif()
  set_target_properties(${target} PROPERTIES ORVANT_LAYER ${layer} ORVANT_WIDGETS ${L_WIDGETS})
  set_property(GLOBAL APPEND PROPERTY ORVANT_LAYERED_TARGETS ${target})
endfunction()

# True when everything <inner> may include is visible to <outer> too.
function(_orvant_layer_within inner outer result)
  set(ok TRUE)
  foreach(entry IN LISTS ORVANT_LAYER_${inner})
    set(seen FALSE)
    foreach(visible IN LISTS ORVANT_LAYER_${outer})
      if(entry STREQUAL visible OR entry MATCHES "^${visible}/")
        set(seen TRUE)
      endif()
    endforeach()
    if(NOT seen)
      set(ok FALSE)
    endif()
  endforeach()
  set(${result} ${ok} PARENT_SCOPE)
endfunction()

# The targets <target> links, directly (its LINK_LIBRARIES) or, with
# INTERFACE, what it passes on to its users.
function(_orvant_link_items target property result)
  get_target_property(items ${target} ${property})
  set(out "")
  foreach(item IN LISTS items)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
    if(TARGET "${item}")
      get_target_property(aliased "${item}" ALIASED_TARGET)
      if(aliased)
        set(item ${aliased})
      endif()
      list(APPEND out "${item}")
    endif()
  endforeach()
  set(${result} ${out} PARENT_SCOPE)
endfunction()

# Every target <target> brings into its link, directly or through others.
function(_orvant_link_closure target result)
  _orvant_link_items(${target} LINK_LIBRARIES todo)
  set(seen "")
  while(todo)
    list(POP_FRONT todo item)
    if(NOT item IN_LIST seen)
      list(APPEND seen ${item})
      _orvant_link_items(${item} INTERFACE_LINK_LIBRARIES more)
      list(APPEND todo ${more})
    endif()
  endwhile()
  set(${result} ${seen} PARENT_SCOPE)
endfunction()

# The libraries and programs defined in <dir> and below.
function(_orvant_built_targets dir result)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  set(out "")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$")
      list(APPEND out ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    _orvant_built_targets(${sub} more)
    list(APPEND out ${more})
  endforeach()
  set(${result} ${out} PARENT_SCOPE)
endfunction()

# Called once every folder is configured: every library and program of the
# program's folders is in a layer, links only libraries of layers it may
# include, reaches Qt Widgets only when marked WIDGETS, and reaches no Qt at
# all in ORVANT_NO_QT_LAYERS.
function(orvant_check_layers)
  get_property(targets GLOBAL PROPERTY ORVANT_LAYERED_TARGETS)
  set(errors "")
  foreach(folder IN LISTS ARGN)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${folder}/CMakeLists.txt)
      _orvant_built_targets(${CMAKE_SOURCE_DIR}/${folder} built)
      foreach(target IN LISTS built)
        if(NOT target IN_LIST targets)
          string(APPEND errors "\n  ${target} (in ${folder}/) is in no layer: give it orvant_layer()")
        endif()
      endforeach()
    endif()
  endforeach()
  foreach(target IN LISTS targets)
    get_target_property(layer ${target} ORVANT_LAYER)
    get_target_property(widgets ${target} ORVANT_WIDGETS)
    _orvant_link_items(${target} LINK_LIBRARIES direct)
    foreach(dep IN LISTS direct)
      get_target_property(dep_layer ${dep} ORVANT_LAYER)
      if(dep_layer)
        _orvant_layer_within(${dep_layer} ${layer} ok)
        if(NOT ok)
          string(APPEND errors "\n  ${target} (layer ${layer}) links ${dep} (layer ${dep_layer})")
        endif()
      endif()
    endforeach()
    _orvant_link_closure(${target} reached)
    if("Qt6::Widgets" IN_LIST reached AND NOT widgets)
      string(APPEND errors "\n  ${target} (layer ${layer}) reaches Qt Widgets without WIDGETS")
    endif()
    list(FILTER reached INCLUDE REGEX "^Qt6::")
    if(reached AND layer IN_LIST ORVANT_NO_QT_LAYERS)
      string(APPEND errors "\n  ${target} (layer ${layer}) reaches ${reached}: ${layer} uses no Qt")
    endif()
  endforeach()
  if(errors)
    message(FATAL_ERROR "Targets that break the layers:${errors}")
  endif()
endfunction()
