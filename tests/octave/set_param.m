function set_param(mdl, param, value)
  % Records the request where zvgateway looks for it after every callback.
  global zvgateway_stop
  zvgateway_stop = [mdl ' ' param ' ' value];
end
