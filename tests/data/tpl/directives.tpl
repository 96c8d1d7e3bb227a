<p>Hello %%name%%, you have %%count%% messages.</p>
%%ifdef%%count%%<p>Count is set.</p>%%else%%<p>No count.</p>%%endif%%
%%ifndef%%missing%%
<p>missing is empty</p>
%%else%%
<p>never</p>
%%endif%%
%%ifequal%%mode%%full%%
  %%ifinstr%%agent%%Mobile%%<p>full, mobile</p>%%else%%<p>full, desktop</p>%%endif%%
  %%ifdef%%missing%%
    %%ifdef%%name%%<p>never nested</p>%%else%%<p>never else</p>%%endif%%
  %%else%%
    <p>outer else after skipped nest</p>
  %%endif%%
%%endif%%
%%ifnequal%%mode%%full%%<p>never</p>%%endif%%%%ifninstr%%agent%%Phone%%<p>no phone</p>%%endif%%
%%set%%greeting%%Good day%%<p>%%greeting%%</p>
<a href="?q=%%query%%esc%%">%%subject%%left%%10%%|%%subject%%left+%%10%%|%%subject%%left+%%40%%</a>
<p>%%raw%% stays raw; 50%% off %%unset%%; odd %% marker</p>
