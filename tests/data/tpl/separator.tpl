<p>||name|| has ||count|| || items</p>
||ifdef||count||<p>bars work as markers</p>||endif||
<p>a || b stays, %%name%% still works</p>
