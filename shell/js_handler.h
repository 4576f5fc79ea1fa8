// The handler of every call the portal makes on the "Zandoro" object: turns it into a
// request to the engine or the window, or answers it. No data members; one instance is
// handed to web_view by ui_bind_js and never freed. Main thread only: the view calls it
// inside WebCore::Update.
//
// Arguments are read by position; a position the script did not pass (or passed as
// undefined) reads as 0 or "". A name no branch serves writes "Callback(<name>,)" and a
// flush; with a return value it answers 0.
#pragma once

#include "platform/awesomium/awesomium.h"

class ZandoroJSHandler : public Awesomium::JSMethodHandler {
public:
    // Forward to js_method_call and js_method_call_with_result.
    void OnMethodCall(Awesomium::WebView *caller, unsigned int remote_object_id,
                      const Awesomium::WebString &method_name, const Awesomium::JSArray &args) override;
    Awesomium::JSValue OnMethodCallWithReturnValue(Awesomium::WebView *caller, unsigned int remote_object_id,
                                                   const Awesomium::WebString &method_name,
                                                   const Awesomium::JSArray &args) override;
};

// A method registered without a return value.
void js_method_call(const Awesomium::WebString &method_name, const Awesomium::JSArray &args);

// A method registered with a return value; its arguments are not read.
Awesomium::JSValue js_method_call_with_result(const Awesomium::WebString &method_name,
                                              const Awesomium::JSArray &args);
