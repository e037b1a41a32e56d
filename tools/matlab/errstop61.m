function errstop61(model)
%ERRSTOP61 Clears a simulation that the zelvanesl61 block broke off.
%   ERRSTOP61('name_of_mdl_file') stops the simulation of the model, when
%   the host has one, and clears the zelvanesl61 block from memory, so that
%   the block ends any link to the solver that a failed start left up (the
%   solver is told that the link has ended). Run it when the block's error
%   asks for it, then start the simulation again. The name may be a block
%   path or carry the model file's extension.
%
%   Works in MATLAB and in GNU Octave (which has no simulation to stop).
  if nargin < 1 || ~ischar(model) || isempty(model)
    error('errstop61:usage', 'usage: errstop61(''name_of_mdl_file'')');
  end
  slash = find(model == '/', 1);
  if ~isempty(slash)
    model = model(1:slash - 1);
  end
  model = regexprep(model, '\.(mdl|slx)$', '');
  if exist('set_param') ~= 0
    try
      set_param(model, 'SimulationCommand', 'stop');
    catch
      % No such model open, or nothing running: nothing to stop.
    end
  end
  % Unloading the MEX file runs its exit handler, which closes the link.
  clear('zelvanesl61');
end
